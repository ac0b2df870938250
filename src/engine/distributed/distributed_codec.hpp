#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/expression.hpp"
#include "engine/levels/bfs_score.hpp"
#include "engine/search/config.hpp"

namespace kov::distributed {

// Byte strings that carry a distributed search's data between processes of one installation:
// the same build on every worker, so fields are written in the machine's own byte order.
class ByteWriter {
public:
    template <class T>
    void put(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        const auto* bytes = reinterpret_cast<const char*>(&value);
        out_.append(bytes, sizeof(T));
    }
    void put_bytes(std::string_view bytes) {
        put<std::uint64_t>(bytes.size());
        out_.append(bytes);
    }
    [[nodiscard]] std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// Reads what a ByteWriter wrote; a short or malformed string throws std::invalid_argument, so a
// corrupted message becomes an error instead of a different search.
class ByteReader {
public:
    explicit ByteReader(std::string_view in) : in_(in) {}
    template <class T>
    [[nodiscard]] T get() {
        static_assert(std::is_trivially_copyable_v<T>);
        need(sizeof(T));
        T value;
        std::memcpy(&value, in_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    [[nodiscard]] std::string_view get_bytes() {
        const auto size = get<std::uint64_t>();
        need(size);
        const std::string_view bytes = in_.substr(at_, size);
        at_ += size;
        return bytes;
    }
    [[nodiscard]] bool done() const { return at_ == in_.size(); }
    void expect_done() const {
        if (!done()) throw std::invalid_argument("distributed search: trailing bytes in a message");
    }

private:
    void need(std::size_t size) const {
        if (in_.size() - at_ < size) {
            throw std::invalid_argument("distributed search: truncated message");
        }
    }
    std::string_view in_;
    std::size_t at_ = 0;
};

// Every field of SearchConfig, in declaration order, as a tuple of references: the message carries
// each of them. The structured binding must name every field, so a field added to SearchConfig
// stops the build here until it is added (and so encoded and decoded) too. The one exception is
// `units`: a search with units runs as one task, never split, and encode_problem refuses them.
template <class Config>
    requires std::is_same_v<std::remove_const_t<Config>, SearchConfig>
[[nodiscard]] auto config_fields(Config& config) {
    auto& [max_complexity, complexity_penalty, beam_width, strategy, time_limit, verbose, noise,
           early_exit_tolerance, disable_early_exit, fit_constants, real_answers_only,
           integer_seeds, rank_integer_completions, ranked_answers, formula_budget, units] = config;
    (void)units;
    return std::tie(max_complexity, complexity_penalty, beam_width, strategy, time_limit, verbose,
                    noise, early_exit_tolerance, disable_early_exit, fit_constants,
                    real_answers_only, integer_seeds, rank_integer_completions, ranked_answers,
                    formula_budget);
}

// One search's inputs and settings, as the driver sends them to every worker.
struct Problem {
    std::vector<std::vector<double>> rows;
    std::vector<double> targets;
    SearchConfig config;
};

[[nodiscard]] std::string encode_problem(const Problem& problem);
[[nodiscard]] Problem decode_problem(std::string_view bytes);

[[nodiscard]] std::string encode_picks(const std::vector<bfs::Picked>& picks);
[[nodiscard]] std::vector<bfs::Picked> decode_picks(std::string_view bytes);

[[nodiscard]] std::string encode_expression(const Expression& expression);
[[nodiscard]] Expression decode_expression(std::string_view bytes);

}  // namespace kov::distributed
