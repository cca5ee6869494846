// Condition construction, value matching and tree evaluation.
#include "query/condition.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "query/row.h"

namespace morva {
namespace {

// Copies src into a fixed field of `size` bytes, cutting it to size - 1
// bytes and terminating it; returns the kept length.
size_t copy_cut(char *dst, size_t size, const char *src) {
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return n;
}

bool has_children(const condition *c) { return c->kind == COND_AND || c->kind == COND_OR || c->kind == COND_NOT; }

// Links of the destruction work list live in the (unused) literal bytes of
// inner nodes, so freeing a tree of any shape needs no extra memory.
void set_next(condition *c, condition *next) { std::memcpy(c->value, &next, sizeof next); }
condition *get_next(const condition *c) {
    condition *next;
    std::memcpy(&next, c->value, sizeof next);
    return next;
}

condition *new_inner(uint32_t kind, condition *left, condition *right) {
    auto *c = static_cast<condition *>(std::calloc(1, sizeof(condition)));
    if (c == nullptr) return nullptr;
    c->kind = kind;
    c->left = left;
    c->right = right;
    return c;
}

int three_way(int64_t a, int64_t b) { return a < b ? -1 : (a > b ? 1 : 0); }
// NaN on either side compares as neither less nor greater: 0.
int three_way(double a, double b) { return a < b ? -1 : (a > b ? 1 : 0); }

bool op_holds(CompareOp op, int c) {
    switch (op) {
    case CompareOp::kEqual: return c == 0;
    case CompareOp::kNotEqual: return c != 0;
    case CompareOp::kGreater: return c > 0;
    case CompareOp::kLess: return c < 0;
    case CompareOp::kGreaterEqual: return c >= 0;
    case CompareOp::kLessEqual: return c <= 0;
    default: return false;
    }
}

}  // namespace

CompareOp parse_compare_op(std::string_view text) {
    if (text == "=") return CompareOp::kEqual;
    if (text == "!=") return CompareOp::kNotEqual;
    if (text == ">") return CompareOp::kGreater;
    if (text == "<") return CompareOp::kLess;
    if (text == ">=") return CompareOp::kGreaterEqual;
    if (text == "<=") return CompareOp::kLessEqual;
    return CompareOp::kInvalid;
}

Literal Literal::parse(const char *text, size_t length) {
    Literal lit;
    // strtoll/strtod read like atoll/atof (numeric prefix, else 0) but have
    // defined results on overflow.
    lit.integer = std::strtoll(text, nullptr, 10);
    lit.real = std::strtod(text, nullptr);
    lit.text = std::string_view(text, length);
    lit.truth = lit.text == "true" || lit.text == "1";
    return lit;
}

bool value_matches(uint32_t type, const uint8_t *value, int32_t value_len, CompareOp op, const Literal &literal) {
    if (value == nullptr || op == CompareOp::kInvalid) return false;
    int c;
    switch (type) {
    case COL_INT32: {
        if (value_len < 4) return false;
        int32_t v;
        std::memcpy(&v, value, sizeof v);
        c = three_way(int64_t{v}, literal.integer);
        break;
    }
    case COL_INT64: {
        if (value_len < 8) return false;
        int64_t v;
        std::memcpy(&v, value, sizeof v);
        c = three_way(v, literal.integer);
        break;
    }
    case COL_FLOAT: {
        if (value_len < 4) return false;
        float v;
        std::memcpy(&v, value, sizeof v);
        c = three_way(static_cast<double>(v), literal.real);
        break;
    }
    case COL_DOUBLE: {
        if (value_len < 8) return false;
        double v;
        std::memcpy(&v, value, sizeof v);
        c = three_way(v, literal.real);
        break;
    }
    case COL_STRING: {
        if (value_len < 0) return false;
        size_t vlen = static_cast<size_t>(value_len);
        size_t n = vlen < literal.text.size() ? vlen : literal.text.size();
        int r = n > 0 ? std::memcmp(value, literal.text.data(), n) : 0;
        c = r != 0 ? (r < 0 ? -1 : 1) : three_way(int64_t(vlen), int64_t(literal.text.size()));
        break;
    }
    case COL_BOOL:
        if (value_len < 1) return false;
        c = (value[0] != 0 ? 1 : 0) - (literal.truth ? 1 : 0);
        break;
    default:
        return false;  // blobs and unknown types are not comparable
    }
    return op_holds(op, c);
}

CompiledCondition::CompiledCondition(const condition *root, const EvalContext &columns) {
    if (root == nullptr) return;
    // Pre-order flattening with an explicit work list: (source, parent, side).
    struct Pending {
        const condition *source;
        int32_t parent;
        bool right_side;
        int32_t depth;
    };
    std::vector<Pending> work{{root, -1, false, 1}};
    int32_t max_depth = 1;
    while (!work.empty()) {
        Pending p = work.back();
        work.pop_back();
        auto index = static_cast<int32_t>(nodes_.size());
        if (p.parent >= 0) (p.right_side ? nodes_[p.parent].right : nodes_[p.parent].left) = index;
        if (p.depth > max_depth) max_depth = p.depth;
        nodes_.emplace_back();
        Node &n = nodes_.back();
        n.kind = p.source->kind;
        if (n.kind == COND_LEAF) {
            std::string_view name(p.source->column, strnlen(p.source->column, sizeof p.source->column));
            for (int32_t i = 0; i < columns.column_count && columns.column_names != nullptr; ++i) {
                const char *candidate = columns.column_names[i];
                if (candidate != nullptr && name == candidate) {
                    n.column = i;
                    n.type = columns.column_types[i];
                    break;
                }
            }
            n.op = parse_compare_op(std::string_view(p.source->op, strnlen(p.source->op, sizeof p.source->op)));
            n.literal_text.assign(p.source->value, strnlen(p.source->value, sizeof p.source->value));
        } else if (n.kind == COND_AND || n.kind == COND_OR) {
            if (p.source->right != nullptr) work.push_back({p.source->right, index, true, p.depth + 1});
            if (p.source->left != nullptr) work.push_back({p.source->left, index, false, p.depth + 1});
        } else if (n.kind == COND_NOT) {
            if (p.source->left != nullptr) work.push_back({p.source->left, index, false, p.depth + 1});
        }
    }
    // Literal views point into the nodes' own strings, which no longer move.
    for (Node &n : nodes_)
        if (n.kind == COND_LEAF) n.literal = Literal::parse(n.literal_text.c_str(), n.literal_text.size());
    stack_.reserve(static_cast<size_t>(max_depth));
}

bool CompiledCondition::leaf_matches(const Node &leaf, const row_schema &schema, const uint8_t *row,
                                     uint64_t row_len) const {
    if (leaf.column < 0 || leaf.column >= schema.count) return false;
    ColumnValue v = locate_column([&schema](int32_t i) { return schema.sizes[i]; }, leaf.column, row, row_len);
    if (!v.present()) return false;
    return value_matches(leaf.type, v.data, v.length, leaf.op, leaf.literal);
}

bool CompiledCondition::matches(const row_schema &schema, const uint8_t *row, uint64_t row_len) {
    if (nodes_.empty()) return false;
    stack_.clear();
    stack_.push_back({0, 0});
    bool result = false;
    while (!stack_.empty()) {
        Frame &f = stack_.back();
        const Node &n = nodes_[static_cast<size_t>(f.node)];
        switch (n.kind) {
        case COND_LEAF:
            result = leaf_matches(n, schema, row, row_len);
            break;
        case COND_AND:
        case COND_OR:
            if (f.stage == 0) {
                f.stage = 1;
                if (n.left >= 0) {
                    stack_.push_back({n.left, 0});
                    continue;
                }
                result = false;
            }
            if (f.stage == 1) {
                // Short circuit: AND stops at a false left side, OR at a true one.
                if ((n.kind == COND_AND) ? !result : result) break;
                f.stage = 2;
                if (n.right >= 0) {
                    stack_.push_back({n.right, 0});
                    continue;
                }
                result = false;
            }
            break;  // stage 2: the right side's result is the node's
        case COND_NOT:
            if (f.stage == 0) {
                f.stage = 1;
                if (n.left >= 0) {
                    stack_.push_back({n.left, 0});
                    continue;
                }
                result = false;
            }
            result = !result;
            break;
        default:
            result = false;
            break;
        }
        stack_.pop_back();
    }
    return result;
}

int32_t condition_eval(const condition *cond, const EvalContext *ctx) {
    if (cond == nullptr || ctx == nullptr || ctx->schema == nullptr || ctx->row == nullptr || ctx->row_len < 0)
        return 0;
    try {
        CompiledCondition compiled(cond, *ctx);
        return compiled.matches(*ctx->schema, ctx->row, static_cast<uint64_t>(ctx->row_len)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // namespace morva

extern "C" {

MORVADB_API condition *qb_cond(query_builder *, const char *column, const char *op, const char *value) {
    if (column == nullptr || op == nullptr || value == nullptr) return nullptr;
    auto *c = static_cast<condition *>(std::calloc(1, sizeof(condition)));
    if (c == nullptr) return nullptr;
    c->kind = COND_LEAF;
    morva::copy_cut(c->column, sizeof c->column, column);
    morva::copy_cut(c->op, sizeof c->op, op);
    c->value_len = morva::copy_cut(c->value, sizeof c->value, value);
    return c;
}

MORVADB_API condition *qb_cond_and(query_builder *, condition *left, condition *right) {
    if (left == nullptr || right == nullptr) return nullptr;
    return morva::new_inner(COND_AND, left, right);
}

MORVADB_API condition *qb_cond_or(query_builder *, condition *left, condition *right) {
    if (left == nullptr || right == nullptr) return nullptr;
    return morva::new_inner(COND_OR, left, right);
}

MORVADB_API condition *qb_cond_not(query_builder *, condition *child) {
    if (child == nullptr) return nullptr;
    return morva::new_inner(COND_NOT, child, nullptr);
}

MORVADB_API void condition_destroy(condition *cond) {
    // Work list of inner nodes whose children are still to be freed.
    condition *pending = nullptr;
    auto schedule = [&pending](condition *c) {
        if (c == nullptr) return;
        if (!morva::has_children(c)) {
            std::free(c);
            return;
        }
        morva::set_next(c, pending);
        pending = c;
    };
    schedule(cond);
    while (pending != nullptr) {
        condition *c = pending;
        pending = morva::get_next(c);
        condition *left = c->left;
        condition *right = c->kind == COND_NOT ? nullptr : c->right;
        std::free(c);
        schedule(left);
        schedule(right);
    }
}

MORVADB_API int32_t filter_match(const void *value, int32_t value_len, uint32_t type, const char *op,
                                 const char *literal) {
    if (value == nullptr || op == nullptr || literal == nullptr) return 0;
    morva::Literal lit = morva::Literal::parse(literal, std::strlen(literal));
    return morva::value_matches(type, static_cast<const uint8_t *>(value), value_len, morva::parse_compare_op(op), lit)
               ? 1
               : 0;
}

}  // extern "C"
