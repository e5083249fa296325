// Keeps the extension modules loadable with the libstdc++ of GCC 5 and later
// (the manylinux_2_28 image, Debian 10, RHEL 8). Since GCC 11, std::allocator
// reports an impossible array size through std::__throw_bad_array_new_length,
// which only libstdc++ 3.4.29 exports. The modules are linked with --wrap for
// that symbol, so their calls land here instead: the same throw, of a type that
// every libstdc++ since GCC 4.9 exports.
#include <new>

extern "C" [[noreturn]] void carrack_throw_bad_array_new_length() __asm__("__wrap__ZSt28__throw_bad_array_new_lengthv");

void carrack_throw_bad_array_new_length() { throw std::bad_array_new_length(); }
