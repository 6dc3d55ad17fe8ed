// What GCC 12's C++ headers call that the baseline's libstdc++ (GCC 10) does
// not have. Linked, and kept out of the dynamic symbol table
// (--exclude-libs), into what is built against the baseline; the plug-in
// calls none of it.
#include <new>
#include <sstream>

namespace std {
// Called by std::allocator for a size past what it can allocate.
void __throw_bad_array_new_length()
{
    throw bad_array_new_length();
}
}  // namespace std

#if _GLIBCXX_USE_CXX11_ABI
// C++20's str() of an lvalue stream buffer: GCC 11 and later build it into
// the library; the header holds its definition.
template std::basic_stringbuf<char>::__string_type std::basic_stringbuf<char>::str() const&;
#endif
