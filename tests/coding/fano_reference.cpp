// The Fano decoder written as plainly as its definition: the reference that
// the fast decoder in the library must match result for result, cycle for
// cycle.
#include "coding/fano_reference.hpp"

#include <memory>
#include <new>

namespace beacon::test {

namespace {

// Index of the symbol pair sent for a register state: 2 * (symbol of
// polynomial A) + (symbol of polynomial B).
unsigned branch_symbols(std::uint64_t state) {
    return 2u * conv_parity(state, CONV_POLY_A) + conv_parity(state, CONV_POLY_B);
}

// One node of the code tree per bit position, plus one for the complete path.
struct fano_node {
    std::uint64_t state;             // register of the held path, this node's bit in bit 0
    std::int64_t path_metric;        // metric of the path up to this node's branch
    std::int32_t branch_metrics[4];  // metric of this node's symbol pair, by pair index
    std::int32_t sorted_metrics[2];  // the two branches' metrics, better first
    std::int32_t branch;             // 0: on the better branch, 1: on the other
};

// Sorts a node's branches; a tie goes to the 1-branch. Bit 0 of state is 0.
inline void sort_branches(fano_node& node) {
    const unsigned p = branch_symbols(node.state);
    const std::int32_t m0 = node.branch_metrics[p];
    const std::int32_t m1 = node.branch_metrics[p ^ 3u];
    if (m0 > m1) {
        node.sorted_metrics[0] = m0;
        node.sorted_metrics[1] = m1;
    } else {
        node.sorted_metrics[0] = m1;
        node.sorted_metrics[1] = m0;
        node.state += 1;
    }
}

}  // namespace

int fano_reference(std::int32_t& final_metric, std::uint32_t& cycle_count,
                   std::uint32_t& furthest_node, std::uint8_t* decoded,
                   const std::uint8_t* soft_symbols, std::uint32_t bit_count,
                   const MetricTable& mettab, std::int32_t threshold_step,
                   std::uint32_t cycles_per_bit) {
    // Value-initialised so that a degenerate block (bit_count 0) reads zeros.
    std::unique_ptr<fano_node[]> nodes(new (std::nothrow) fano_node[bit_count + std::size_t{1}]());
    if (!nodes) return FANO_NO_MEMORY;
    furthest_node = 0;

    for (std::uint32_t n = 0; n < bit_count; ++n) {
        const std::uint8_t a = soft_symbols[2 * std::size_t{n}];
        const std::uint8_t b = soft_symbols[2 * std::size_t{n} + 1];
        std::int32_t* bm = nodes[n].branch_metrics;
        bm[0] = mettab[0][a] + mettab[0][b];
        bm[1] = mettab[0][a] + mettab[1][b];
        bm[2] = mettab[1][a] + mettab[0][b];
        bm[3] = mettab[1][a] + mettab[1][b];
    }

    // The last 31 bits are known zeros: only the 0-branch exists there. A block
    // of 31 bits or fewer is all tail.
    fano_node* const first = nodes.get();
    fano_node* const last = first + bit_count;
    fano_node* const tail = bit_count > 31 ? last - 31 : first;

    first->state = 0;
    if (first < tail) {
        sort_branches(*first);
    } else {
        first->sorted_metrics[0] = first->branch_metrics[0];
    }
    first->branch = 0;
    first->path_metric = 0;

    std::int32_t threshold = 0;
    const std::uint32_t cycle_limit = cycles_per_bit * bit_count;
    fano_node* np = first;
    bool complete = false;
    // Counted in 64 bits so that a budget near 2^32 cannot wrap the loop.
    std::uint64_t cycle = 1;
    for (; cycle <= cycle_limit; ++cycle) {
        const auto index = static_cast<std::uint32_t>(np - first);
        if (index > furthest_node) furthest_node = index;

        const auto g = static_cast<std::int32_t>(np->path_metric + np->sorted_metrics[np->branch]);
        if (g >= threshold) {
            // Forward. Tighten the threshold when this node is entered for the
            // first time at this level.
            if (np->path_metric < threshold + threshold_step) {
                while (threshold + threshold_step <= g)
                    threshold += threshold_step;
            }
            np[1].path_metric = g;
            np[1].state = np->state << 1;
            ++np;
            if (np == last) {
                final_metric = g;
                complete = true;
                break;
            }
            if (np < tail) {
                sort_branches(*np);
            } else {
                np->sorted_metrics[0] = np->branch_metrics[branch_symbols(np->state)];
            }
            np->branch = 0;
        } else {
            // Backward: back up to the nearest node with an untried branch, or
            // lower the threshold when the path behind is below it.
            for (;;) {
                if (np == first || np[-1].path_metric < threshold) {
                    threshold -= threshold_step;
                    if (np->branch != 0) {
                        np->branch = 0;
                        np->state ^= 1u;
                    }
                    break;
                }
                --np;
                if (np < tail && np->branch == 0) {
                    np->branch = 1;
                    np->state ^= 1u;
                    break;
                }
            }
        }
    }

    if (complete) {
        for (std::uint32_t k = 0; k < bit_count / 8; ++k)
            decoded[k] = static_cast<std::uint8_t>(nodes[8 * std::size_t{k} + 7].state);
    } else {
        // Out of cycles (or no budget at all): report where the search stood.
        final_metric = static_cast<std::int32_t>(np->path_metric);
    }
    cycle_count = static_cast<std::uint32_t>(cycle + 1);
    return complete ? 0 : -1;
}

}  // namespace beacon::test
