#include "engine/thorough/thorough_memory.hpp"

#include <algorithm>
#include <string>

#include "engine/levels/fingerprint_table.hpp"
#include "engine/thorough/thorough_tuning.hpp"

namespace kov::bfs {

namespace {

double string_bytes(const std::string& text) {
    // Short texts live inside the string object itself.
    return text.capacity() > 15
               ? static_cast<double>(text.capacity() + 1) + thorough_tuning.allocator_overhead
               : 0.0;
}

}  // namespace

ThoroughMemory share_memory(double total_bytes) {
    ThoroughMemory memory;
    memory.level_bytes = thorough_tuning.level_share * total_bytes;
    memory.fingerprint_keys = static_cast<std::size_t>(
        thorough_tuning.fingerprint_share * total_bytes / FingerprintTable::bytes_per_key());
    // A level's candidates are held twice for a moment: in the chunks a round fills, and in the
    // list they are appended to.
    const auto listed = static_cast<std::size_t>(thorough_tuning.candidate_share * total_bytes /
                                                 (2.0 * sizeof(Candidate)));
    // After the set starts anew it holds the kept expressions; a level's new keys must fit beside.
    const auto kept_at_most =
        static_cast<std::size_t>(memory.level_bytes / expected_node_bytes(1, 1));
    const std::size_t beside_kept =
        memory.fingerprint_keys > kept_at_most ? memory.fingerprint_keys - kept_at_most : 0;
    memory.children_per_level = std::min(listed, beside_kept);
    return memory;
}

double expected_node_bytes(std::uint64_t complexity, std::size_t rows) {
    const auto tokens = static_cast<double>(complexity);
    return static_cast<double>(sizeof(Node) + sizeof(Expression)) +
           (tokens * sizeof(Token) + thorough_tuning.allocator_overhead) +
           (tokens * thorough_tuning.text_per_token + thorough_tuning.allocator_overhead) +
           static_cast<double>(rows * sizeof(Complex)) + thorough_tuning.allocator_overhead;
}

double level_bytes(const Level& level) {
    double bytes = static_cast<double>(level.nodes.capacity() * sizeof(Node) +
                                       level.expressions.capacity() * sizeof(Expression) +
                                       level.values.capacity() * sizeof(Complex));
    for (const Expression& expression : level.expressions) {
        bytes += static_cast<double>(expression.tokens.capacity() * sizeof(Token)) +
                 thorough_tuning.allocator_overhead + string_bytes(expression.formula);
    }
    return bytes;
}

double release_row_values(Level& level, std::size_t first) {
    if (first >= level.size()) return 0.0;
    const std::size_t before = level.values.capacity();
    level.values.resize(level.nodes[first].values);
    level.values.shrink_to_fit();
    for (std::size_t i = first; i < level.size(); ++i) {
        level.nodes[i].rows_ok = false;
        level.nodes[i].values = 0;
    }
    return static_cast<double>((before - level.values.capacity()) * sizeof(Complex));
}

}  // namespace kov::bfs
