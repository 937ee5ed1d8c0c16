// A program that makes one memory error on request, for the tests of the guard-page allocator and
// of the test wrapper. Its exit status tells what happened:
//   guardheap_probe null-write       writes through a null pointer
//   guardheap_probe overflow         writes one byte past the end of a 10-byte array
//   guardheap_probe use-after-free   writes into an object after deleting it
//   guardheap_probe in-bounds        writes the last byte of the array: exits with 0
// A memory error that went unnoticed exits with 1.
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// A volatile access out of line, so that the compiler keeps the faulty one (and does not warn
// about what is planted on purpose).
__attribute__((noinline)) void Write(volatile char* at, char value) {
    *at = value;
}

}  // namespace

int main(int argc, char** argv) {
    const char* what = argc > 1 ? argv[1] : "";
    std::fflush(stdout);
    if (std::strcmp(what, "null-write") == 0) {
        Write(nullptr, 1);
        return 1;
    }
    // Called by name: a new-expression whose block is not used otherwise may be left out.
    auto* bytes = static_cast<char*>(::operator new[](10));
    if (std::strcmp(what, "in-bounds") == 0) {
        Write(bytes + 9, 1);
        ::operator delete[](bytes);
        return 0;
    }
    if (std::strcmp(what, "overflow") == 0) {
        Write(bytes + 10, 1);
        return 1;
    }
    if (std::strcmp(what, "use-after-free") == 0) {
        ::operator delete[](bytes);
        Write(bytes, 1);
        return 1;
    }
    std::fprintf(stderr, "guardheap_probe: unknown request '%s'\n", what);
    return 2;
}
