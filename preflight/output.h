// The verdicts as a table for a person or as one JSON object.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "checks.h"

namespace preflight {

void write_table(std::ostream& out, const std::string& root, const std::string& host,
                 const std::vector<Verdict>& verdicts, bool colour);
void write_json(std::ostream& out, const std::string& root, const std::string& host,
                const std::vector<Verdict>& verdicts);

}  // namespace preflight
