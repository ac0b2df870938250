#include "engine/distributed/distributed_codec.hpp"

namespace kov::distributed {

namespace {

// One field of SearchConfig each: bools as one byte, optionals as a presence byte and the value,
// vectors as their length and items, everything else as its bytes.
template <class T>
void put_field(ByteWriter& out, const T& value) {
    out.put(value);
}

void put_field(ByteWriter& out, bool value) {
    out.put<std::uint8_t>(value ? 1 : 0);
}

template <class T>
void put_field(ByteWriter& out, const std::optional<T>& value) {
    put_field(out, value.has_value());
    if (value) put_field(out, *value);
}

template <class T>
void put_field(ByteWriter& out, const std::vector<T>& values) {
    out.put<std::uint64_t>(values.size());
    for (const T& value : values) put_field(out, value);
}

template <class T>
void get_field(ByteReader& in, T& value) {
    value = in.get<T>();
}

void get_field(ByteReader& in, bool& value) {
    value = in.get<std::uint8_t>() != 0;
}

template <class T>
void get_field(ByteReader& in, std::optional<T>& value) {
    bool present = false;
    get_field(in, present);
    value.reset();
    if (present) get_field(in, value.emplace());
}

template <class T>
void get_field(ByteReader& in, std::vector<T>& values) {
    values.resize(in.get<std::uint64_t>());
    for (T& value : values) get_field(in, value);
}

void put_config(ByteWriter& out, const SearchConfig& config) {
    std::apply([&](const auto&... field) { (put_field(out, field), ...); }, config_fields(config));
}

SearchConfig get_config(ByteReader& in) {
    SearchConfig config;
    std::apply([&](auto&... field) { (get_field(in, field), ...); }, config_fields(config));
    return config;
}

}  // namespace

std::string encode_problem(const Problem& problem) {
    if (problem.config.units) {
        throw std::invalid_argument("distributed search: a search with units runs as one task");
    }
    ByteWriter out;
    put_config(out, problem.config);
    out.put<std::uint64_t>(problem.rows.size());
    for (const auto& row : problem.rows) {
        out.put<std::uint64_t>(row.size());
        for (double value : row) out.put(value);
    }
    out.put<std::uint64_t>(problem.targets.size());
    for (double value : problem.targets) out.put(value);
    return out.take();
}

Problem decode_problem(std::string_view bytes) {
    ByteReader in(bytes);
    Problem problem;
    problem.config = get_config(in);
    const auto row_count = in.get<std::uint64_t>();
    for (std::uint64_t i = 0; i < row_count; ++i) {
        auto& row = problem.rows.emplace_back(in.get<std::uint64_t>());
        for (double& value : row) value = in.get<double>();
    }
    problem.targets.resize(in.get<std::uint64_t>());
    for (double& value : problem.targets) value = in.get<double>();
    in.expect_done();
    return problem;
}

std::string encode_picks(const std::vector<bfs::Picked>& picks) {
    ByteWriter out;
    out.put<std::uint64_t>(picks.size());
    for (const bfs::Picked& p : picks) {
        out.put(p.score);
        out.put(p.front_value);
        out.put(p.raw_error);
        out.put(p.position);
        out.put(p.candidate.a);
        out.put(p.candidate.b);
        out.put(p.candidate.left_level);
        out.put(p.candidate.op);
        out.put(p.candidate.arity);
        out.put<std::uint8_t>(p.fitted ? 1 : 0);
    }
    return out.take();
}

std::vector<bfs::Picked> decode_picks(std::string_view bytes) {
    ByteReader in(bytes);
    std::vector<bfs::Picked> picks(in.get<std::uint64_t>());
    for (bfs::Picked& p : picks) {
        p.score = in.get<double>();
        p.front_value = in.get<double>();
        p.raw_error = in.get<double>();
        p.position = in.get<std::uint64_t>();
        p.candidate.a = in.get<std::uint32_t>();
        p.candidate.b = in.get<std::uint32_t>();
        p.candidate.left_level = in.get<std::uint32_t>();
        p.candidate.op = in.get<std::uint8_t>();
        p.candidate.arity = in.get<std::uint8_t>();
        p.fitted = in.get<std::uint8_t>() != 0;
    }
    in.expect_done();
    return picks;
}

std::string encode_expression(const Expression& expression) {
    ByteWriter out;
    out.put<std::uint64_t>(expression.tokens.size());
    for (const Token& token : expression.tokens) {
        out.put(token.kind);
        out.put(token.arity);
        out.put(token.index);
        out.put<std::uint64_t>(token.id);
        out.put(token.value.re);
        out.put(token.value.im);
    }
    out.put_bytes(expression.formula);
    out.put<std::uint64_t>(expression.complexity);
    out.put(expression.var_count);
    return out.take();
}

Expression decode_expression(std::string_view bytes) {
    ByteReader in(bytes);
    Expression expression;
    expression.tokens.resize(in.get<std::uint64_t>());
    for (Token& token : expression.tokens) {
        token.kind = in.get<TokenKind>();
        token.arity = in.get<std::uint8_t>();
        token.index = in.get<std::uint8_t>();
        token.id = in.get<std::uint64_t>();
        token.value.re = in.get<double>();
        token.value.im = in.get<double>();
    }
    expression.formula = std::string(in.get_bytes());
    expression.complexity = in.get<std::uint64_t>();
    expression.var_count = in.get<std::uint8_t>();
    in.expect_done();
    return expression;
}

}  // namespace kov::distributed
