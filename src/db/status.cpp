// Status texts shared by every family that reports DB_* codes.
#include "morvadb.h"

extern "C" MORVADB_API const char *db_error_string(int32_t status) {
    switch (status) {
    case DB_OK: return "success";
    case DB_ERR_NOMEM: return "out of memory";
    case DB_ERR_NOT_FOUND: return "not found";
    case DB_ERR_EXISTS: return "already exists";
    case DB_ERR_CORRUPT: return "corrupt data";
    case DB_ERR_IO: return "I/O error";
    case DB_ERR_INVALID: return "invalid argument";
    case DB_ERR_BUSY: return "busy";
    default: return "unknown error";
    }
}
