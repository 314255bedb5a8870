// The Fano decoder written as plainly as its definition: the reference that
// the fast decoder in the library must match result for result, cycle for
// cycle.
#include "coding/fano_reference.hpp"

#include <algorithm>
#include <vector>

namespace beacon::test {

int fano_reference(std::int32_t& final_metric, std::uint32_t& cycle_count,
                   std::uint32_t& furthest_node, std::uint8_t* decoded,
                   const std::uint8_t* soft_symbols, std::uint32_t bit_count,
                   const MetricTable& mettab, std::int32_t threshold_step,
                   std::uint32_t cycles_per_bit) {
    // One node of the code tree per bit position, plus one for the complete path.
    struct Node {
        std::uint64_t state;       // register of the held path, this node's bit in bit 0
        std::int64_t path_metric;  // metric of the path up to this node's branch
        std::int32_t sorted[2];    // the branches' metrics, better first
        std::int32_t branch;       // 0: on the better branch, 1: on the other
    };
    std::vector<Node> nodes(bit_count + std::size_t{1});
    Node* const first = nodes.data();
    Node* const last = first + bit_count;
    // The last 31 bits are known zeros: only the 0-branch exists there. A
    // block of 31 bits or fewer is all tail.
    Node* const tail = bit_count > 31 ? last - 31 : first;

    // The metric of node n's symbols received as the pair sent for `state`;
    // a node entered sorts its branches (a tie to the 1-branch) or, in the
    // tail, has only the 0-branch.
    const auto metric = [&](const Node* n, std::uint64_t state) {
        const std::uint8_t* s = soft_symbols + 2 * static_cast<std::size_t>(n - first);
        return mettab[conv_parity(state, CONV_POLY_A)][s[0]] +
               mettab[conv_parity(state, CONV_POLY_B)][s[1]];
    };
    const auto enter = [&](Node* n) {
        const std::int32_t m0 = metric(n, n->state), m1 = metric(n, n->state + 1);
        n->sorted[0] = n >= tail || m0 > m1 ? m0 : m1;
        n->sorted[1] = m0 > m1 ? m1 : m0;
        if (n < tail && m0 <= m1) n->state += 1;
        n->branch = 0;
    };

    furthest_node = 0;
    Node* np = first;
    if (first < last) enter(first);  // state and path metric 0
    std::int32_t threshold = 0;
    bool complete = false;
    // Counted in 64 bits so that a budget near 2^32 cannot wrap the loop.
    std::uint64_t cycle = 1;
    for (; cycle <= std::uint32_t{cycles_per_bit * bit_count}; ++cycle) {
        furthest_node = std::max(furthest_node, static_cast<std::uint32_t>(np - first));
        const auto g = static_cast<std::int32_t>(np->path_metric + np->sorted[np->branch]);
        if (g >= threshold) {
            // Forward; tighten the threshold on a node's first visit at this level.
            if (np->path_metric < threshold + threshold_step) {
                while (threshold + threshold_step <= g)
                    threshold += threshold_step;
            }
            np[1].path_metric = g;
            np[1].state = np->state << 1;
            if (++np == last) {
                final_metric = g;
                complete = true;
                break;
            }
            enter(np);
        } else {
            // Backward to the nearest node with an untried branch, or lower
            // the threshold when the path behind is below it.
            for (;;) {
                if (np == first || np[-1].path_metric < threshold) {
                    threshold -= threshold_step;
                    if (np->branch != 0) {
                        np->branch = 0;
                        np->state ^= 1u;
                    }
                    break;
                }
                if (--np < tail && np->branch == 0) {
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
        final_metric = static_cast<std::int32_t>(np->path_metric);  // where the search stood
    }
    cycle_count = static_cast<std::uint32_t>(cycle + 1);
    return complete ? 0 : -1;
}

}  // namespace beacon::test
