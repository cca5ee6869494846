// Condition trees: construction, matching of one value against a literal,
// and evaluation of a whole tree against an encoded row.
//
// Trees come from hosts and may be arbitrarily deep (a million nested NOT
// nodes is legal), so nothing here recurses: destruction threads a work list
// through the nodes being freed, and evaluation first flattens the tree into
// an array and then walks it with an explicit stack reserved up front.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "morvadb.h"

namespace morva {

enum class CompareOp : uint8_t { kEqual, kNotEqual, kGreater, kLess, kGreaterEqual, kLessEqual, kInvalid };

// The operator named by text (exactly one of = != > < >= <=), else kInvalid.
CompareOp parse_compare_op(std::string_view text);

// A literal converted once for every column type it may be compared with:
// the C library's atoll/atof readings, the boolean reading ("true" or "1"
// only) and the raw bytes for strings.
struct Literal {
    int64_t integer = 0;
    double real = 0.0;
    bool truth = false;
    std::string_view text;

    // text must be followed by a NUL byte (the numeric conversions stop there).
    static Literal parse(const char *text, size_t length);
};

// Whether a stored value of the given type stands in relation op to the
// literal. Blobs, unknown types, too-short values and kInvalid never match.
bool value_matches(uint32_t type, const uint8_t *value, int32_t value_len, CompareOp op, const Literal &literal);

// What the executor hands the evaluator for one query and one row.
struct EvalContext {
    const row_schema *schema = nullptr;
    const char *const *column_names = nullptr;
    const uint32_t *column_types = nullptr;
    int32_t column_count = 0;
    const uint8_t *row = nullptr;
    int32_t row_len = 0;
};

// A condition tree flattened for repeated evaluation over the rows of one
// query: column names are resolved to indices and literals converted once.
// The source tree must outlive nothing here (texts are copied).
class CompiledCondition {
public:
    // Throws std::bad_alloc when memory runs out.
    CompiledCondition(const condition *root, const EvalContext &columns);

    // 1 when the row satisfies the tree. Never allocates.
    bool matches(const row_schema &schema, const uint8_t *row, uint64_t row_len);

private:
    struct Node {
        uint32_t kind = 0;
        int32_t left = -1;   // child indices; -1 is a missing child (false)
        int32_t right = -1;
        int32_t column = -1; // leaf: resolved column index, -1 when unknown
        uint32_t type = 0;
        CompareOp op = CompareOp::kInvalid;
        Literal literal;     // text points into literal_text
        std::string literal_text;
    };
    struct Frame {
        int32_t node;
        int32_t stage;
    };

    bool leaf_matches(const Node &leaf, const row_schema &schema, const uint8_t *row, uint64_t row_len) const;

    std::vector<Node> nodes_;
    std::vector<Frame> stack_;
};

// Evaluates a tree against the row in ctx (1 or 0); null node or context
// gives 0. Compiles the tree on each call: for one-off checks.
int32_t condition_eval(const condition *cond, const EvalContext *ctx);

}  // namespace morva
