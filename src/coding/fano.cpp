// Convolutional encoder and Fano sequential decoder.
#include <memory>
#include <new>

#include "coding/coding.hpp"

namespace beacon {

int encode(std::uint8_t* out_symbols, const std::uint8_t* data, std::uint32_t byte_count) {
    std::uint64_t state = 0;
    for (std::uint32_t k = 0; k < byte_count; ++k) {
        for (int bit = 7; bit >= 0; --bit) {
            state = (state << 1) | ((data[k] >> bit) & 1u);
            *out_symbols++ = conv_parity(state, CONV_POLY_A);
            *out_symbols++ = conv_parity(state, CONV_POLY_B);
        }
    }
    return 0;
}

namespace {

// One node of the code tree per bit position, plus one for the complete path.
// Only the low 32 bits of the register reach the polynomials, so the state
// is kept in 32 bits; path metrics fit in 32 bits as well.
struct fano_node {
    std::int32_t path_metric;        // metric of the path up to this node's branch
    std::uint32_t state;             // register of the held path, this node's bit in bit 0
    std::int32_t sorted_metrics[2];  // the two branches' metrics, better first
    std::int32_t branch_metrics[4];  // metric of this node's symbol pair, by pair index
    std::int32_t branch;             // 0: on the better branch, 1: on the other
};

// The pair rule with the processor's parity instead of the byte table: the
// same parity, a few instructions fewer in the decoder's hottest path.
inline unsigned pair_of(std::uint32_t state) {
    return 2u * static_cast<unsigned>(__builtin_parity(state & CONV_POLY_A)) +
           static_cast<unsigned>(__builtin_parity(state & CONV_POLY_B));
}

// 32-bit sums wrap as the metrics' declared width does, without overflow.
inline std::int32_t add32(std::int64_t a, std::int64_t b) {
    return static_cast<std::int32_t>(a + b);
}

}  // namespace

int fano(std::int32_t& final_metric, std::uint32_t& cycle_count, std::uint32_t& furthest_node,
         std::uint8_t* decoded, const std::uint8_t* soft_symbols, std::uint32_t bit_count,
         const MetricTable& mettab, std::int32_t threshold_step, std::uint32_t cycles_per_bit) {
    // Value-initialised so that a degenerate block (bit_count 0) reads zeros.
    std::unique_ptr<fano_node[]> nodes(new (std::nothrow) fano_node[bit_count + std::size_t{1}]());
    if (!nodes) return FANO_NO_MEMORY;
    fano_node* const nd = nodes.get();

    for (std::uint32_t n = 0; n < bit_count; ++n) {
        const std::uint8_t a = soft_symbols[2 * std::size_t{n}];
        const std::uint8_t b = soft_symbols[2 * std::size_t{n} + 1];
        std::int32_t* bm = nd[n].branch_metrics;
        bm[0] = add32(mettab[0][a], mettab[0][b]);
        bm[1] = add32(mettab[0][a], mettab[1][b]);
        bm[2] = add32(mettab[1][a], mettab[0][b]);
        bm[3] = add32(mettab[1][a], mettab[1][b]);
    }

    // The last 31 bits are known zeros: only the 0-branch exists there. A
    // block of 31 bits or fewer is all tail.
    const std::uint32_t tail = bit_count > 31 ? bit_count - 31 : 0;

    // Sorts the branches of node n, whose state has bit 0 clear; a tie goes
    // to the 1-branch.
    auto enter = [&](std::uint32_t n, std::uint32_t state) {
        fano_node& node = nd[n];
        const unsigned p = pair_of(state);
        const std::int32_t m0 = node.branch_metrics[p];
        if (n < tail) {
            const std::int32_t m1 = node.branch_metrics[p ^ 3u];
            const bool one = !(m0 > m1);
            node.sorted_metrics[0] = one ? m1 : m0;
            node.sorted_metrics[1] = one ? m0 : m1;
            node.state = state + (one ? 1u : 0u);
        } else {
            node.sorted_metrics[0] = m0;
            node.state = state;
        }
        node.branch = 0;
    };

    enter(0, 0);
    nd[0].path_metric = 0;

    std::int64_t threshold = 0;
    const std::uint32_t cycle_limit = cycles_per_bit * bit_count;
    std::uint32_t n = 0;  // the current node
    std::uint32_t furthest = 0;
    bool complete = false;
    // Counted in 64 bits so that a budget near 2^32 cannot wrap the loop.
    std::uint64_t cycle = 1;
    for (; cycle <= cycle_limit; ++cycle) {
        if (n > furthest) furthest = n;
        fano_node& cur = nd[n];
        const std::int32_t g = add32(cur.path_metric, cur.sorted_metrics[cur.branch]);
        if (g >= threshold) {
            // Forward. Tighten the threshold when this node is entered for
            // the first time at this level.
            if (cur.path_metric < threshold + threshold_step) {
                while (threshold + threshold_step <= g)
                    threshold += threshold_step;
            }
            const std::uint32_t next_state = cur.state << 1;
            ++n;
            nd[n].path_metric = g;
            if (n == bit_count) {
                nd[n].state = next_state;
                final_metric = g;
                complete = true;
                break;
            }
            enter(n, next_state);
        } else {
            // Backward: back up to the nearest node with an untried branch,
            // or lower the threshold when the path behind is below it.
            for (;;) {
                if (n == 0 || nd[n - 1].path_metric < threshold) {
                    threshold -= threshold_step;
                    if (nd[n].branch != 0) {
                        nd[n].branch = 0;
                        nd[n].state ^= 1u;
                    }
                    break;
                }
                --n;
                if (n < tail && nd[n].branch == 0) {
                    nd[n].branch = 1;
                    nd[n].state ^= 1u;
                    break;
                }
            }
        }
    }

    furthest_node = furthest;
    if (complete) {
        for (std::uint32_t k = 0; k < bit_count / 8; ++k)
            decoded[k] = static_cast<std::uint8_t>(nd[8 * std::size_t{k} + 7].state);
    } else {
        // Out of cycles (or no budget at all): report where the search stood.
        final_metric = nd[n].path_metric;
    }
    cycle_count = static_cast<std::uint32_t>(cycle + 1);
    return complete ? 0 : -1;
}

}  // namespace beacon
