// Counts the calls of the global allocation functions in the whole process.
// Linked into an executable, the replacements below also serve every plug-in
// it loads, whose operator new resolves from the executable first.
#pragma once

#include <cstddef>

namespace heapcount {

// Allocations (operator new of any form) since the process started.
std::size_t allocations();

// While on, every new allocation is filled with a non-zero pattern, so that
// memory the plug-in fails to initialise cannot read as zero by chance.
void set_poison(bool on);

// Allocations made while running f.
template <typename F>
std::size_t during(F&& f)
{
    const std::size_t before = allocations();
    f();
    return allocations() - before;
}

}  // namespace heapcount
