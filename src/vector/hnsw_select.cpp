// Neighbour selection: which candidates a row keeps when they do not all
// fit, both for a new node's row and for a full row that gains a link.
//
// Keeping simply the nearest candidates splits clustered data into islands:
// all of a node's nearest candidates lie in its own cluster, so every link
// stays inside the cluster, a full row is pruned back to its nearest entries
// (dropping the rare link that leaves), and a greedy search that enters one
// cluster never leaves it. The rule here walks the candidates nearest first
// and keeps one only when it is strictly nearer to the row's owner than to
// every candidate kept before it. A candidate at least as near to a kept
// neighbour is reachable through that neighbour, so its slot is better
// spent on a direction not yet covered, and links towards other clusters
// survive. Slots left free are then filled with the nearest candidates the
// rule passed over, so rows stay as full as with the plain rule.
//
// Cost. The comparisons between candidates are extra distance computations.
// A kept candidate is compared with the candidates after it a block at a
// time, with one call to the multi-vector kernel, and only with candidates
// that every earlier kept one has let through, which is exactly the set of
// comparisons the walk needs. Full rows gain a link on nearly every insert,
// so each link also remembers its distance from the row's owner and what
// the rule decided for it (LinkState): a newcomer changes nothing before its
// place in the row, so a prune compares the newcomer with the kept entries
// before it and re-decides the entries after it only when the newcomer is
// kept. This changes which work is done, never the outcome.
#include <algorithm>

#include "vector/distance_batch.h"
#include "vector/hnsw.h"

namespace morva {
namespace {

// Candidates compared per kernel call: one AVX-512 block of lanes.
constexpr size_t kCompareBlock = 16;

// A candidate during a walk. Waiting candidates are not compared yet;
// open ones are compared with the kept candidates in order.
enum WalkState : uint8_t { kWaiting = 0, kOpen = 1, kPassed = 2, kKept = 3 };

// Coverer of a candidate remembered as passed over without one.
constexpr uint32_t kUnknownCoverer = UINT32_MAX;

// Candidate j is covered; `by` is the first kept candidate (in walk order)
// that covers it, or kUnknownCoverer.
void pass_over(size_t j, uint32_t by, SelectScratch &s) {
    s.state[j] = kPassed;
    s.coverer[j] = by;
}

struct Candidates {
    const int32_t *nodes;
    const float *distances;  // from the row's owner, ascending
    size_t count;
};

// Compares kept candidate number `rank` with up to a block of the open
// candidates from `from` on that have been compared with exactly the kept
// candidates before it, and passes over those it covers. When only the
// candidate at `from` needs that comparison, the block is filled the other
// way round instead: that candidate against the next kept ones, which the
// library's kernels allow because they are symmetric bit for bit.
void compare_block(const hnsw_index *g, const Candidates &c, size_t from, uint32_t rank, SelectScratch &s) {
    s.gathered.clear();
    s.vectors.clear();
    for (size_t j = from; j < c.count && s.gathered.size() < kCompareBlock; j++) {
        if (s.state[j] != kOpen || s.compared[j] != rank) continue;
        s.gathered.push_back(static_cast<uint32_t>(j));
        s.vectors.push_back(node_vector(g, c.nodes[j]));
    }
    size_t n = s.gathered.size();
    const uint32_t dim = static_cast<uint32_t>(g->dimension);
    if (n == 1 && s.kept.size() - rank > 1 && kernel_kind(g->distance) != KernelKind::Custom) {
        size_t lone = s.gathered[0];
        size_t ranks = std::min(s.kept.size() - rank, kCompareBlock);
        s.vectors.clear();
        for (size_t r = rank; r < rank + ranks; r++) s.vectors.push_back(node_vector(g, c.nodes[s.kept[r]]));
        s.batch.resize(ranks);
        batch_distances(g->distance, node_vector(g, c.nodes[lone]), s.vectors.data(), ranks, dim, s.batch.data());
        for (size_t b = 0; b < ranks; b++) {
            if (!(c.distances[lone] < s.batch[b])) {
                pass_over(lone, s.kept[rank + b], s);
                return;
            }
            s.compared[lone]++;
        }
        return;
    }
    s.batch.resize(n);
    batch_distances(g->distance, node_vector(g, c.nodes[s.kept[rank]]), s.vectors.data(), n, dim, s.batch.data());
    for (size_t b = 0; b < n; b++) {
        uint32_t j = s.gathered[b];
        // Kept only when strictly nearer to the owner than to every kept one.
        if (c.distances[j] < s.batch[b]) {
            s.compared[j]++;
        } else {
            pass_over(j, s.kept[rank], s);
        }
    }
}

// Takes candidate j into the walk once everything before it is decided: a
// candidate already known to be kept joins the kept list; an open one is
// compared with the kept candidates it has not met and kept if none covers it.
void decide(const hnsw_index *g, const Candidates &c, size_t j, SelectScratch &s) {
    while (s.state[j] == kOpen && s.compared[j] < s.kept.size()) compare_block(g, c, j, s.compared[j], s);
    if (s.state[j] == kOpen) s.state[j] = kKept;
    if (s.state[j] == kKept) s.kept.push_back(static_cast<uint32_t>(j));
}

void start_walk(size_t n, uint8_t initial, SelectScratch &s) {
    s.state.assign(n, initial);
    s.compared.assign(n, 0);
    s.coverer.resize(n);
    s.kept.clear();
}

// The LinkState byte of a decided candidate written to a row, given the
// row position its coverer was written at (for a passed-over one).
uint8_t link_state(uint8_t walk_state, uint32_t coverer_position) {
    if (walk_state == kKept) return kLinkKept;
    if (walk_state != kPassed) return kLinkUndecided;
    if (coverer_position > kLinkLastCovererPosition) return kLinkPassed;
    return static_cast<uint8_t>(kLinkPassedAt0 + coverer_position);
}

// Walk state of a remembered decision before the newcomer's place.
void recall(size_t j, uint8_t link, SelectScratch &s) {
    if (link == kLinkKept) {
        s.state[j] = kKept;
    } else if (link >= kLinkPassedAt0) {
        pass_over(j, static_cast<uint32_t>(link - kLinkPassedAt0), s);
    } else if (link == kLinkPassed) {
        pass_over(j, kUnknownCoverer, s);
    } else {
        s.state[j] = kOpen;
    }
}

}  // namespace

size_t choose_row(const hnsw_index *g, const int32_t *nodes, const float *distances, size_t n, int32_t limit,
                  SelectScratch &s) {
    const size_t room = static_cast<size_t>(limit);
    s.chosen.clear();
    s.chosen_distances.clear();
    s.chosen_states.clear();
    if (n <= room) {
        s.chosen.assign(nodes, nodes + n);
        s.chosen_distances.assign(distances, distances + n);
        s.chosen_states.assign(n, kLinkUndecided);
        return n;
    }
    Candidates c{nodes, distances, n};
    start_walk(n, kOpen, s);
    size_t walked = 0;
    for (; walked < n && s.kept.size() < room; walked++) decide(g, c, walked, s);
    // Free slots go to the nearest candidates passed over. A row made this
    // way holds every kept candidate, so what the walk decided for its
    // entries is what a walk over the row itself decides.
    size_t fill = room - s.kept.size();
    s.position.resize(n);
    for (size_t j = 0; j < walked; j++) {
        bool take = s.state[j] == kKept || (s.state[j] == kPassed && fill > 0);
        if (!take) continue;
        if (s.state[j] == kPassed) fill--;
        s.position[j] = static_cast<uint32_t>(s.chosen.size());
        uint32_t coverer_at = s.state[j] == kPassed ? s.position[s.coverer[j]] : kUnknownCoverer;
        s.chosen.push_back(nodes[j]);
        s.chosen_distances.push_back(distances[j]);
        s.chosen_states.push_back(link_state(s.state[j], coverer_at));
    }
    return s.chosen.size();
}

namespace {

// Loads t's row and the newcomer into s.row_*, ordered by distance from t
// with a stable insertion sort (an entry moves forward only past strictly
// greater distances), and returns the newcomer's place. Remembered
// distances and decisions come along while the row's generation is
// current; otherwise the row is measured again and nothing is remembered.
size_t load_row(GraphImpl *g, int32_t t, int32_t layer, int32_t newcomer, float newcomer_distance) {
    SelectScratch &s = g->select_scratch;
    const size_t held = static_cast<size_t>(layer_row_limit(g, layer)), n = held + 1;
    const int32_t *row = layer_row(g, layer, t);
    s.row_nodes.assign(row, row + held);
    s.row_nodes.push_back(newcomer);
    s.row_distances.resize(n);
    s.row_states.resize(n);
    if (row_generation(g, layer, t) == g->generation) {
        const float *distances = row_distances(g, layer, t);
        const uint8_t *states = row_states(g, layer, t);
        std::copy(distances, distances + held, s.row_distances.begin());
        std::copy(states, states + held, s.row_states.begin());
    } else {
        s.row_vectors.resize(held);
        for (size_t j = 0; j < held; j++) s.row_vectors[j] = node_vector(g, row[j]);
        batch_distances(g->distance, node_vector(g, t), s.row_vectors.data(), held,
                        static_cast<uint32_t>(g->dimension), s.row_distances.data());
        std::fill(s.row_states.begin(), s.row_states.end(), kLinkUndecided);
    }
    s.row_distances[held] = newcomer_distance;
    s.row_states[held] = kLinkUndecided;
    // Decided entries come first, in order, and are never farther than an
    // undecided one, so they stay in place up to the newcomer's place and
    // the coverer positions they name stay valid.
    size_t place = held;
    for (size_t j = 1; j < n; j++) {
        float d = s.row_distances[j];
        int32_t node = s.row_nodes[j];
        uint8_t state = s.row_states[j];
        size_t at = j;
        while (at > 0 && s.row_distances[at - 1] > d) {
            s.row_distances[at] = s.row_distances[at - 1];
            s.row_nodes[at] = s.row_nodes[at - 1];
            s.row_states[at] = s.row_states[at - 1];
            at--;
        }
        s.row_distances[at] = d;
        s.row_nodes[at] = node;
        s.row_states[at] = state;
        if (j == held) place = at;  // the newcomer moves last
    }
    return place;
}

}  // namespace

void prune_row(GraphImpl *g, int32_t t, int32_t layer, int32_t newcomer, float newcomer_distance) {
    SelectScratch &s = g->select_scratch;
    const size_t held = static_cast<size_t>(layer_row_limit(g, layer)), n = held + 1;
    const size_t place = load_row(g, t, layer, newcomer, newcomer_distance);
    Candidates c{s.row_nodes.data(), s.row_distances.data(), n};

    // Decisions before the newcomer stand: nothing before them changed.
    // Entries after it wait until the newcomer is decided.
    start_walk(n, kWaiting, s);
    for (size_t j = 0; j < place; j++) recall(j, s.row_states[j], s);
    s.state[place] = kOpen;
    size_t walked = 0;
    for (; walked <= place && s.kept.size() < held; walked++) decide(g, c, walked, s);
    if (walked > place) {
        // A newcomer passed over changes no later decision. A kept one may
        // cover later entries, and what it covers no longer covers others:
        // entries covered by one before it stay covered; entries kept, or
        // covered first by one behind it, had passed every kept entry
        // before it and meet the newcomer next; the rest start over.
        const bool newcomer_kept = s.state[place] == kKept;
        const uint32_t kept_before = static_cast<uint32_t>(s.kept.size() - (newcomer_kept ? 1 : 0));
        for (size_t j = place + 1; j < n; j++) {
            uint8_t link = s.row_states[j];
            if (!newcomer_kept) {
                if (link >= kLinkPassedAt0) {
                    // Coverers behind the newcomer moved one place down.
                    uint32_t coverer = static_cast<uint32_t>(link - kLinkPassedAt0);
                    pass_over(j, coverer >= place ? coverer + 1 : coverer, s);
                } else {
                    recall(j, link, s);
                }
                continue;
            }
            bool covered_before = link >= kLinkPassedAt0 && static_cast<size_t>(link - kLinkPassedAt0) < place;
            if (covered_before) {
                pass_over(j, static_cast<uint32_t>(link - kLinkPassedAt0), s);
            } else {
                s.state[j] = kOpen;
                if (link == kLinkKept || link >= kLinkPassedAt0) s.compared[j] = kept_before;
            }
        }
        for (; walked < n && s.kept.size() < held; walked++) decide(g, c, walked, s);
    }

    // The rule drops exactly one candidate: the farthest it passed over, or
    // the farthest of all when it kept every one before that.
    size_t dropped = n - 1;
    for (size_t j = walked; j-- > 0;) {
        if (s.state[j] == kPassed) {
            dropped = j;
            break;
        }
    }
    int32_t *row = layer_row(g, layer, t);
    float *distances = row_distances(g, layer, t);
    uint8_t *states = row_states(g, layer, t);
    // Passed-over entries all lie before the dropped one and so do their
    // coverers, so their coverer positions carry over unchanged.
    size_t out = 0;
    for (size_t j = 0; j < n; j++) {
        if (j == dropped) continue;
        row[out] = s.row_nodes[j];
        distances[out] = s.row_distances[j];
        states[out] = link_state(s.state[j], s.coverer[j]);
        out++;
    }
    row_generation(g, layer, t) = g->generation;
}

}  // namespace morva
