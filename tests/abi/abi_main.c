/* Layout checks live in the layout_*.c files beside this one as static
 * assertions; building this program is the check, running it confirms the
 * header also links as plain C. */
#include "morvadb.h"

int main(void) {
    return db_error_string(0) == 0;
}
