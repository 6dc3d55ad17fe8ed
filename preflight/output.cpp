#include "output.h"

#include <json/writer.h>

#include <algorithm>
#include <memory>

namespace preflight {

namespace {

const Verdict* chosen(const std::vector<Verdict>& verdicts)
{
    const auto it =
        std::find_if(verdicts.begin(), verdicts.end(), [](const Verdict& v) { return v.loads(); });
    return it == verdicts.end() ? nullptr : &*it;
}

std::string padded(const std::string& s, std::size_t width)
{
    // Widths in characters of the (ASCII) names and subjects.
    return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

}  // namespace

void write_table(std::ostream& out, const std::string& root, const std::string& host,
                 const std::vector<Verdict>& verdicts, bool colour)
{
    const auto paint = [colour](Status s) {
        const std::string name = status_name(s);
        if (!colour) return name;
        const char* code = s == Status::ok ? "32" : s == Status::fail ? "31" : "33";
        return std::string("\033[") + code + "m" + name + "\033[0m";
    };
    out << "root: " << root << "\nhost: " << (host.empty() ? "not given (--host)" : host) << "\n";
    for (const auto& v : verdicts) {
        out << "\n" << v.library << " (" << v.flavour << ")\n";
        std::size_t name_w = 6;
        std::size_t subject_w = 8;
        for (const auto& c : v.checks) {
            name_w = std::max(name_w, c.name.size() + 1);
            subject_w = std::max(subject_w, std::min<std::size_t>(c.subject.size() + 1, 40));
        }
        out << "  " << padded("check", name_w) << padded("subject", subject_w)
            << padded("result", 12) << "detail\n";
        for (const auto& c : v.checks) {
            const std::string result = status_name(c.status);
            out << "  " << padded(c.name, name_w) << padded(c.subject, subject_w) << paint(c.status)
                << std::string(12 - std::min<std::size_t>(result.size(), 11), ' ') << c.detail
                << "\n";
            if (!c.fix.empty()) {
                out << "  " << std::string(name_w + subject_w + 12, ' ') << "what to do: " << c.fix
                    << "\n";
            }
        }
        out << "  verdict: " << (v.loads() ? "will load" : "will not load") << "\n";
    }
    const Verdict* use = chosen(verdicts);
    if (verdicts.size() > 1) {
        out << "\n"
            << (use ? "use: " + use->library + " (" + use->flavour + ")"
                    : "none of the " + std::to_string(verdicts.size()) + " flavours will load")
            << "\n";
        if (use && host.empty()) {
            out << "(the host's string ABI is not known without --host: a host built with the old "
                   "one takes the -oldabi flavour)\n";
        }
    }
}

void write_json(std::ostream& out, const std::string& root, const std::string& host,
                const std::vector<Verdict>& verdicts)
{
    Json::Value doc(Json::objectValue);
    doc["root"] = root;
    doc["host"] = host.empty() ? Json::Value() : Json::Value(host);
    Json::Value libs(Json::arrayValue);
    for (const auto& v : verdicts) {
        Json::Value lib(Json::objectValue);
        lib["library"] = v.library;
        lib["flavour"] = v.flavour;
        lib["loads"] = v.loads();
        Json::Value checks(Json::arrayValue);
        for (const auto& c : v.checks) {
            Json::Value one(Json::objectValue);
            one["check"] = c.name;
            one["subject"] = c.subject;
            one["result"] = status_name(c.status);
            one["detail"] = c.detail;
            if (!c.fix.empty()) one["fix"] = c.fix;
            checks.append(one);
        }
        lib["checks"] = checks;
        libs.append(lib);
    }
    doc["libraries"] = libs;
    const Verdict* use = chosen(verdicts);
    doc["loads"] = use != nullptr;
    doc["use"] = use != nullptr ? Json::Value(use->library) : Json::Value();
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
    writer->write(doc, &out);
    out << "\n";
}

}  // namespace preflight
