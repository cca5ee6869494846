// The public header must compile as C++ and declare its functions with C
// linkage, so hosts in either language see the same symbols.
#include "morvadb.h"

#include <type_traits>

static_assert(std::is_standard_layout_v<db_options>);
static_assert(std::is_trivially_copyable_v<vec_result>);

int main() {
    // Taking the address through a C-linkage function pointer type checks the
    // declaration; the result is unused.
    const char *(*fn)(int32_t) = &db_error_string;
    return fn == nullptr;
}
