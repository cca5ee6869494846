// Row schema and column extraction for host-encoded table rows.
#include "query/row.h"

namespace morva {
namespace {

void fill_schema(row_schema *schema, const uint32_t *types, int32_t count) {
    schema->count = count;
    if (count <= 0 || types == nullptr) return;
    int32_t described = count < kMaxColumns ? count : kMaxColumns;
    int32_t offset = 0;
    for (int32_t i = 0; i < described; ++i) {
        int32_t width = column_fixed_width(types[i]);
        if (width > 0) {
            schema->offsets[i] = offset;
            schema->sizes[i] = width;
            offset += width;
        } else {
            // Offsets of later fixed columns assume every earlier variable
            // value is empty, i.e. just its length prefix.
            schema->offsets[i] = -1;
            schema->sizes[i] = 0;
            offset += kLengthPrefixSize;
        }
    }
}

}  // namespace
}  // namespace morva

extern "C" {

MORVADB_API void row_schema_init(row_schema *schema, const uint32_t *types, int32_t count) {
    if (schema == nullptr) return;
    morva::fill_schema(schema, types, count);
}

MORVADB_API const void *row_extract_column(const row_schema *schema, int32_t column, const void *row,
                                           int32_t row_len, int32_t *out_len) {
    if (out_len != nullptr) *out_len = 0;
    if (schema == nullptr || row == nullptr || out_len == nullptr || column < 0 || column >= schema->count ||
        row_len < 0)
        return nullptr;
    morva::ColumnValue v = morva::locate_column([schema](int32_t i) { return schema->sizes[i]; }, column,
                                                static_cast<const uint8_t *>(row), static_cast<uint64_t>(row_len));
    if (!v.present()) return nullptr;
    *out_len = v.length;
    return v.data;
}

}  // extern "C"
