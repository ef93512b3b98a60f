// The handler std::terminate calls by default. The runtime's own prints the exception's demangled type name,
// which links in the whole demangler; defining the handler here keeps that out of the programs. An escaped
// exception still ends the program at once, as abort does.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    std::abort();
}

}  // namespace __gnu_cxx
