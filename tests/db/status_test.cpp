#include <gtest/gtest.h>
#include "morvadb.h"

TEST(ErrorString, KnownAndUnknownCodes) {
    EXPECT_STREQ(db_error_string(DB_OK), "success");
    EXPECT_STREQ(db_error_string(DB_ERR_BUSY), "busy");
    EXPECT_STREQ(db_error_string(DB_ERR_IO), "I/O error");
    EXPECT_STREQ(db_error_string(-8), "unknown error");
    EXPECT_STREQ(db_error_string(1), "unknown error");
}
