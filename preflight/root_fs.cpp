#include "root_fs.h"

#include <archive.h>
#include <archive_entry.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace preflight {

namespace {

namespace fs = std::filesystem;

// Symbolic links followed for one path before it is taken as a loop, as
// the kernel's limit.
constexpr int kMaxLinks = 40;
constexpr int kMaxIncludeDepth = 8;

std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> out;
    std::stringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (!part.empty() && part != ".") out.push_back(part);
    }
    return out;
}

struct ArchiveCloser {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterCloser {
    void operator()(archive* a) const { archive_write_free(a); }
};

// Unpacks the tar at PATH into DIR: regular files, folders and symbolic
// links only, no path leaving DIR, nothing made setuid.
void unpack(const std::string& path, const std::string& dir)
{
    const std::unique_ptr<archive, ArchiveCloser> in(archive_read_new());
    archive_read_support_format_tar(in.get());
    archive_read_support_format_gnutar(in.get());
    archive_read_support_filter_all(in.get());
    if (archive_read_open_filename(in.get(), path.c_str(), std::size_t{64} * 1024) != ARCHIVE_OK) {
        throw InputError(path +
                         ": not a folder or a readable tar: " + archive_error_string(in.get()));
    }
    const std::unique_ptr<archive, WriterCloser> out(archive_write_disk_new());
    // Names are made relative to DIR here; libarchive refuses ".." in them and
    // writing through a link. Links keep their targets: the root resolves them.
    archive_write_disk_set_options(
        out.get(), ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    const auto under_dir = [&dir](const char* name) {
        std::string n = name;
        while (!n.empty() && n.front() == '/') n.erase(0, 1);
        return dir + "/" + n;
    };
    archive_entry* entry = nullptr;
    int entries = 0;
    for (;;) {
        const int r = archive_read_next_header(in.get(), &entry);
        if (r == ARCHIVE_EOF) break;
        if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
            throw InputError(path + ": a damaged tar: " + archive_error_string(in.get()));
        }
        ++entries;
        const auto type = archive_entry_filetype(entry);
        if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) continue;
        archive_entry_set_pathname(entry, under_dir(archive_entry_pathname(entry)).c_str());
        archive_entry_set_perm(entry, (archive_entry_perm(entry) & 0755U) | 0600U);
        if (archive_entry_hardlink(entry) != nullptr) {
            archive_entry_set_hardlink(entry, under_dir(archive_entry_hardlink(entry)).c_str());
        }
        if (archive_write_header(out.get(), entry) != ARCHIVE_OK) {
            continue;  // an entry refused as unsafe (a path out of the root) is left out
        }
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        while (archive_read_data_block(in.get(), &block, &size, &offset) == ARCHIVE_OK) {
            if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) {
                throw InputError(path + ": cannot unpack: " + archive_error_string(out.get()));
            }
        }
        archive_write_finish_entry(out.get());
    }
    if (entries == 0) throw InputError(path + ": an empty tar");
}

}  // namespace

RootFs::RootFs(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw InputError(path + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        folder_ = fs::canonical(path).string();
        while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
        return;
    }
    if (!S_ISREG(st.st_mode)) throw InputError(path + ": not a folder or a tar");
    std::string temp = (fs::temp_directory_path() / "vx40-preflight-XXXXXX").string();
    if (::mkdtemp(temp.data()) == nullptr) {
        throw InputError(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    }
    folder_ = temp;
    extracted_ = true;
    try {
        unpack(path, folder_);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
        throw;
    }
}

RootFs::~RootFs()
{
    if (extracted_) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
}

std::optional<std::string> RootFs::find(const std::string& path) const
{
    std::vector<std::string> todo = components(path);
    std::reverse(todo.begin(), todo.end());  // a stack: the next component last
    std::vector<std::string> done;           // resolved components, inside the root
    int links = 0;
    while (!todo.empty()) {
        const std::string part = todo.back();
        todo.pop_back();
        if (part == "..") {
            if (!done.empty()) done.pop_back();  // ".." of the root is the root
            continue;
        }
        std::string here = folder_ == "/" ? "" : folder_;
        for (const auto& d : done) here += "/" + d;
        here += "/" + part;
        struct stat st {};
        if (::lstat(here.c_str(), &st) != 0) return std::nullopt;
        if (!S_ISLNK(st.st_mode)) {
            done.push_back(part);
            continue;
        }
        if (++links > kMaxLinks) return std::nullopt;
        std::array<char, PATH_MAX> target{};
        const ssize_t n = ::readlink(here.c_str(), target.data(), target.size() - 1);
        if (n < 0) return std::nullopt;
        const std::string to(target.data(), static_cast<std::size_t>(n));
        if (!to.empty() && to.front() == '/') done.clear();  // absolute: from the root
        const std::vector<std::string> more = components(to);
        todo.insert(todo.end(), more.rbegin(), more.rend());
    }
    std::string out = folder_ == "/" ? "" : folder_;
    for (const auto& d : done) out += "/" + d;
    return out.empty() ? std::string("/") : out;
}

std::optional<std::string> RootFs::inside(const std::string& outside_path) const
{
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::absolute(outside_path), ec);
    if (ec) return std::nullopt;
    const std::string s = p.string();
    if (folder_ == "/") return s;
    if (s.size() > folder_.size() && s.compare(0, folder_.size(), folder_) == 0 &&
        s[folder_.size()] == '/') {
        return s.substr(folder_.size());
    }
    return std::nullopt;
}

// Includes nest at most kMaxIncludeDepth deep.
// NOLINTNEXTLINE(misc-no-recursion)
void RootFs::read_ld_so_conf(const std::string& path, int depth,
                             std::vector<std::string>& out) const
{
    const auto file = find(path);
    if (!file || depth > kMaxIncludeDepth) return;
    std::ifstream in(*file);
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::stringstream words(line);
        std::string word;
        words >> word;
        if (word == "include") {
            std::string pattern;
            while (words >> pattern) {
                if (pattern.front() != '/') {
                    pattern = fs::path(path).parent_path().string() + "/" + pattern;
                }
                // The folder part is resolved in the root; the name part is a glob.
                const fs::path pp(pattern);
                const auto dir = find(pp.parent_path().string());
                if (!dir) continue;
                glob_t g{};
                if (::glob((*dir + "/" + pp.filename().string()).c_str(), 0, nullptr, &g) == 0) {
                    for (std::size_t i = 0; i < g.gl_pathc; ++i) {
                        read_ld_so_conf(pp.parent_path().string() + "/" +
                                            fs::path(g.gl_pathv[i]).filename().string(),
                                        depth + 1, out);
                    }
                }
                globfree(&g);
            }
            continue;
        }
        if (word == "hwcap") continue;
        // Folders, separated by blanks, colons or commas.
        std::replace_if(
            line.begin(), line.end(), [](char c) { return c == ':' || c == ','; }, ' ');
        std::stringstream dirs(line);
        std::string dir;
        while (dirs >> dir) {
            if (dir.front() == '/') out.push_back(dir);
        }
    }
}

std::vector<std::string> RootFs::library_dirs(Libc libc, const std::string& loader,
                                              const std::string& triplet) const
{
    std::vector<std::string> out;
    if (libc == Libc::musl) {
        // /etc/ld-musl-ARCH.path (ld-musl-ARCH.so.1 being the loader), or
        // musl's default.
        std::string arch = fs::path(loader).filename().string();
        arch = arch.substr(0, arch.find(".so"));
        if (const auto file = find("/etc/" + arch + ".path")) {
            std::ifstream in(*file);
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            std::replace_if(
                text.begin(), text.end(), [](char c) { return c == ':' || c == '\n'; }, ' ');
            std::stringstream dirs(text);
            std::string dir;
            while (dirs >> dir) out.push_back(dir);
            return out;
        }
        return {"/lib", "/usr/local/lib", "/usr/lib"};
    }
    read_ld_so_conf("/etc/ld.so.conf", 0, out);
    for (const std::string& d :
         {"/lib/" + triplet, "/usr/lib/" + triplet, std::string("/lib"), std::string("/usr/lib")}) {
        out.push_back(d);
    }
    if (triplet.rfind("x86_64", 0) == 0) {
        out.emplace_back("/lib64");
        out.emplace_back("/usr/lib64");
    }
    return out;
}

}  // namespace preflight
