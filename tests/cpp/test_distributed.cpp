// The distributed search's entry points: a search split into shares in one process must return what
// run_bfs returns, bit for bit, for any number of shares; shards judge offers by earliest position;
// the messages between processes decode to what was encoded.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <span>
#include <stdexcept>
#include <tuple>
#include <variant>
#include <vector>

#include "engine/distributed/distributed_driver.hpp"
#include "engine/distributed/distributed_replica.hpp"
#include "engine/entry/run_bfs.hpp"

namespace kov::distributed {
namespace {

using Rows = std::vector<std::vector<double>>;

// A share's offers as the worker sends them: one block of records per shard.
std::vector<std::string> written_offers(SearchReplica& replica, std::size_t share,
                                        std::size_t shares) {
    const std::vector<std::size_t> counts = replica.expand_share(share, shares);
    std::vector<std::string> blocks;
    std::vector<std::span<char>> out;
    blocks.reserve(counts.size());
    for (std::size_t count : counts) {
        std::string& block = blocks.emplace_back(count * sizeof(Offer), '\0');
        out.emplace_back(block.data(), block.size());
    }
    replica.write_offers(out);
    return blocks;
}

// The driver's and the workers' steps in the order the Dask driver runs them, every message passed
// through its encoding as it would between processes.
SearchOutcome split_search(const Problem& problem, std::size_t shares) {
    SearchDriver driver(decode_problem(encode_problem(problem)));
    std::vector<std::unique_ptr<SearchReplica>> replicas;
    std::vector<std::unique_ptr<FingerprintShard>> shards;
    for (std::size_t i = 0; i < shares; ++i) {
        replicas.push_back(std::make_unique<SearchReplica>(problem));
        shards.push_back(std::make_unique<FingerprintShard>(replicas[i]->seed_offers(), i, shares));
    }
    if (driver.early_exit()) return driver.finish();
    for (std::uint64_t level = 2; level <= problem.config.max_complexity; ++level) {
        std::vector<std::vector<std::string>> offers;  // [share][shard]
        for (std::size_t i = 0; i < shares; ++i) {
            offers.push_back(written_offers(*replicas[i], i, shares));
        }
        std::vector<std::vector<std::string>> verdicts;  // [shard][share]
        for (std::size_t j = 0; j < shares; ++j) {
            // As on a worker: its own share's offers first, the others' when they arrive.
            std::vector<OfferView> received;
            for (std::size_t i = 0; i < shares; ++i) received.emplace_back(offers[i][j]);
            shards[j]->offer(j, received[j]);
            verdicts.push_back(shards[j]->verdicts(received));
        }
        std::vector<ShareScores> scores;
        for (std::size_t i = 0; i < shares; ++i) {
            std::vector<std::string_view> mine;
            for (std::size_t j = 0; j < shares; ++j) mine.push_back(verdicts[j][i]);
            replicas[i]->keep_winners(mine);
            scores.push_back(decode_share_scores(encode_share_scores(replicas[i]->score_share())));
        }
        const std::string beam = encode_picks(driver.merge(scores));
        if (level == problem.config.max_complexity || driver.early_exit()) break;
        for (auto& replica : replicas) replica->add_level(decode_picks(beam));
    }
    return driver.finish();
}

std::uint64_t bits_of(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

void expect_same(const SearchOutcome& split, const SearchOutcome& local) {
    ASSERT_EQ(split.index(), local.index());
    if (const auto* error = std::get_if<SearchError>(&local)) {
        EXPECT_EQ(std::get<SearchError>(split).message(), error->message());
        return;
    }
    const auto& a = std::get<std::vector<SearchResult>>(split);
    const auto& b = std::get<std::vector<SearchResult>>(local);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].expression.formula, b[i].expression.formula);
        EXPECT_EQ(bits_of(a[i].error), bits_of(b[i].error)) << b[i].expression.formula;
        EXPECT_EQ(bits_of(a[i].description_length), bits_of(b[i].description_length))
            << b[i].expression.formula;
        ASSERT_EQ(a[i].expression.tokens.size(), b[i].expression.tokens.size());
        for (std::size_t t = 0; t < a[i].expression.tokens.size(); ++t) {
            const Token& x = a[i].expression.tokens[t];
            const Token& y = b[i].expression.tokens[t];
            EXPECT_EQ(x.kind, y.kind);
            EXPECT_EQ(x.id, y.id);
            EXPECT_EQ(x.index, y.index);
            EXPECT_EQ(bits_of(x.value.re), bits_of(y.value.re));
            EXPECT_EQ(bits_of(x.value.im), bits_of(y.value.im));
        }
    }
}

struct SplitCase {
    const char* name;
    std::uint64_t max_complexity;
    double complexity_penalty;
    std::uint64_t beam_width;
    bool early_exit;
    bool fit_constants;
    std::size_t variables;
    std::size_t rows;
};

// Twenty rows and more put the head-row pruning of scoring to work; fewer score every row.
const SplitCase split_cases[] = {
    {"one_variable", 5, 0.1, 1000, false, true, 1, 20},
    {"beam_7", 6, 0.1, 7, false, true, 1, 20},
    {"beam_0", 5, 0.1, 0, false, true, 2, 20},
    {"unbounded_beam", 4, 0.1, std::numeric_limits<std::uint64_t>::max(), false, true, 3, 20},
    {"early_exit", 6, 0.1, 50, true, true, 2, 20},
    {"no_fitting", 5, 0.1, 100, false, false, 1, 20},
    {"few_rows", 5, 0.1, 30, false, true, 2, 4},
    {"zero_penalty", 5, 0.0, 20, false, true, 1, 20},
    {"negative_penalty", 5, -0.5, 20, false, true, 1, 20},
    {"nan_penalty", 4, std::numeric_limits<double>::quiet_NaN(), 20, false, true, 1, 6},
};

class SplitSearch : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitSearch, EqualsTheLocalSearchForAnyNumberOfShares) {
    const SplitCase& c = GetParam();
    Problem problem;
    for (std::size_t r = 0; r < c.rows; ++r) {
        const double x = 0.3 * static_cast<double>(r) + 0.2;
        std::vector<double> row{x};
        if (c.variables > 1) row.push_back(1.0 / (x + 1.0));
        if (c.variables > 2) row.push_back(std::cos(x));
        problem.targets.push_back(x * x * std::sin(x) + 0.5 * row.back());
        problem.rows.push_back(std::move(row));
    }
    problem.config = SearchConfig(c.max_complexity, c.complexity_penalty, c.beam_width);
    problem.config.disable_early_exit = !c.early_exit;
    problem.config.fit_constants = c.fit_constants;
    const SearchOutcome local = run_bfs(problem.rows, problem.targets, problem.config);
    for (std::size_t shares : {1, 2, 3}) {
        SCOPED_TRACE(shares);
        expect_same(split_search(problem, shares), local);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitSearch, ::testing::ValuesIn(split_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Offers as a shard receives them: views of blocks of records, kept in `blocks`.
std::vector<OfferView> views_of(const std::vector<std::vector<Offer>>& offers,
                                std::deque<std::string>& blocks) {
    std::vector<OfferView> views;
    for (const auto& list : offers) {
        std::string& block = blocks.emplace_back(list.size() * sizeof(Offer), '\0');
        if (!list.empty()) std::memcpy(block.data(), list.data(), block.size());
        views.emplace_back(block);
    }
    return views;
}

TEST(FingerprintShard, EarliestPositionOfANewFingerprintWins) {
    const Digest seed{1, 4};
    const Digest shared{2, 6};
    const Digest alone{3, 8};
    FingerprintShard shard({Offer{seed, 0}}, 0, 2);
    // Share 0 offers the seed's fingerprint again and `shared` late; share 1 offers `shared`
    // earlier and a fingerprint no one else has.
    const std::vector<std::vector<Offer>> offers = {
        {Offer{seed, 40}, Offer{shared, 30}},
        {Offer{shared, 20}, Offer{alone, 50}},
    };
    std::deque<std::string> blocks;
    const std::vector<std::string> verdicts = shard.judge(views_of(offers, blocks));
    ASSERT_EQ(verdicts.size(), 2U);
    EXPECT_FALSE(verdict_bit(verdicts[0], 0));
    EXPECT_FALSE(verdict_bit(verdicts[0], 1));
    EXPECT_TRUE(verdict_bit(verdicts[1], 0));
    EXPECT_TRUE(verdict_bit(verdicts[1], 1));
    // A later level never wins a fingerprint an earlier level holds.
    const std::vector<std::string> later = shard.judge(views_of({{Offer{shared, 60}}, {}}, blocks));
    EXPECT_FALSE(verdict_bit(later[0], 0));
    EXPECT_TRUE(later[1].empty());
}

// Whichever share's offers a shard takes first, and whether it takes them in steps or at once,
// its verdicts are the same: the earliest position wins.
class ShardSteps : public ::testing::TestWithParam<std::vector<std::size_t>> {};

TEST_P(ShardSteps, GiveTheVerdictsOfOneJudgement) {
    const Digest a{1, 4};
    const Digest b{2, 6};
    const Digest c{3, 8};
    const std::vector<std::vector<Offer>> offers = {
        {Offer{a, 10}, Offer{b, 31}, Offer{c, 32}},
        {Offer{a, 5}, Offer{c, 12}},
        {Offer{b, 7}, Offer{c, 40}},
    };
    std::deque<std::string> blocks;
    const std::vector<OfferView> views = views_of(offers, blocks);
    FingerprintShard whole({}, 0, 1);
    const std::vector<std::string> expected = whole.judge(views);
    FingerprintShard stepped({}, 0, 1);
    for (std::size_t share : GetParam()) stepped.offer(share, views[share]);
    const std::vector<std::string> verdicts = stepped.verdicts(views);
    ASSERT_EQ(verdicts, expected);
    const std::vector<std::vector<bool>> won = {{false, false, false}, {true, true}, {true, false}};
    for (std::size_t i = 0; i < won.size(); ++i) {
        for (std::size_t k = 0; k < won[i].size(); ++k) {
            EXPECT_EQ(verdict_bit(verdicts[i], k), won[i][k]) << i << ", " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, ShardSteps,
                         ::testing::Values(std::vector<std::size_t>{}, std::vector<std::size_t>{0},
                                           std::vector<std::size_t>{2},
                                           std::vector<std::size_t>{2, 0, 1}));

TEST(FingerprintShard, RefusesOffersThatChangeOrRepeat) {
    std::deque<std::string> blocks;
    const std::vector<OfferView> views =
        views_of({{Offer{Digest{1, 2}, 3}, Offer{Digest{2, 2}, 4}}, {}}, blocks);
    FingerprintShard shard({}, 0, 1);
    shard.offer(0, views[0]);
    EXPECT_THROW(shard.offer(0, views[0]), std::invalid_argument);
    EXPECT_THROW((void)shard.verdicts({views[1], views[1]}), std::invalid_argument);
}

TEST(FingerprintShard, OwnsOnlyItsSeeds) {
    // Digest low 5 belongs to shard 1 of 2: shard 0 does not know it, so its offer wins there.
    FingerprintShard shard({Offer{Digest{9, 5}, 0}}, 0, 2);
    EXPECT_EQ(shard.size(), 0U);
}

TEST(DistributedMessages, RoundTripAndRefuseDamage) {
    Problem problem;
    problem.rows = {{1.0, -0.0}, {std::numeric_limits<double>::denorm_min(), 3.0}};
    problem.targets = {0.5, 7.0};
    problem.config = SearchConfig(7, 0.25, 9);
    problem.config.time_limit = 2.5;
    problem.config.fit_constants = false;
    const Problem back = decode_problem(encode_problem(problem));
    EXPECT_EQ(back.rows, problem.rows);
    EXPECT_EQ(std::signbit(back.rows[0][1]), true);
    EXPECT_EQ(back.targets, problem.targets);
    EXPECT_EQ(back.config.max_complexity, 7U);
    EXPECT_EQ(back.config.beam_width, 9U);
    EXPECT_EQ(back.config.time_limit, 2.5);
    EXPECT_FALSE(back.config.fit_constants);

    std::string bytes = encode_problem(problem);
    EXPECT_THROW((void)decode_problem(std::string_view(bytes).substr(0, bytes.size() - 1)),
                 std::invalid_argument);
    EXPECT_THROW((void)decode_problem(bytes + "x"), std::invalid_argument);
    EXPECT_THROW((void)OfferView("0123456789"), std::invalid_argument);
    EXPECT_THROW((void)decode_picks(""), std::invalid_argument);
}

// Every field away from its default: the binding names each one, so a new field stops this test's
// build until it has a value here as well.
SearchConfig config_without_defaults() {
    SearchConfig config;
    auto& [max_complexity, complexity_penalty, beam_width, strategy, time_limit, verbose, noise,
           early_exit_tolerance, disable_early_exit, fit_constants, real_answers_only,
           integer_seeds, rank_integer_completions, ranked_answers, formula_budget, units] = config;
    units = nullptr;  // never carried: a search with units is not split
    max_complexity = 7;
    complexity_penalty = -0.0;
    beam_width = 9;
    strategy = Strategy::thorough;
    time_limit = 2.5;
    verbose = false;
    noise = 0.0;
    early_exit_tolerance = std::numeric_limits<double>::denorm_min();
    disable_early_exit = true;
    fit_constants = false;
    real_answers_only = true;
    integer_seeds = {2, -3};
    rank_integer_completions = true;
    ranked_answers = 4;
    formula_budget = 0;
    return config;
}

TEST(DistributedMessages, CarryEveryConfigField) {
    const SearchConfig defaults;
    Problem problem;
    problem.rows = {{1.0}};
    problem.targets = {2.0};
    problem.config = config_without_defaults();
    const auto differs = [](const auto& changed, const auto& kept) { EXPECT_NE(changed, kept); };
    std::apply(
        [&](const auto&... changed) {
            std::apply([&](const auto&... kept) { (differs(changed, kept), ...); },
                       config_fields(defaults));
        },
        config_fields(problem.config));
    const SearchConfig back = decode_problem(encode_problem(problem)).config;
    EXPECT_EQ(back, problem.config);
    EXPECT_TRUE(std::signbit(back.complexity_penalty));
}

TEST(DistributedMessages, ScoresAndExpressionsKeepEveryBit) {
    ShareScores scores;
    bfs::Picked picked;
    picked.score = std::numeric_limits<double>::quiet_NaN();
    picked.front_value = -0.0;
    picked.raw_error = std::numeric_limits<double>::infinity();
    picked.position = (std::uint64_t{1} << 63) + 5;
    picked.candidate = bfs::Child{7, 9, 3, 4, 2};
    picked.fitted = true;
    scores.beam = {picked, picked};
    scores.front = picked;
    Expression expression;
    expression.tokens = {Token::real(-0.0), Token::var(2), Token::op(2, 4)};
    expression.formula = "Plus(E, v_{2})";
    expression.complexity = 3;
    expression.var_count = 3;
    scores.front_expression = encode_expression(expression);
    scores.generated = 11;
    scores.judging_cpu_seconds = 0.25;

    const ShareScores back = decode_share_scores(encode_share_scores(scores));
    ASSERT_EQ(back.beam.size(), 2U);
    ASSERT_TRUE(back.front.has_value());
    for (const bfs::Picked& p : {back.beam[1], *back.front}) {
        EXPECT_TRUE(std::isnan(p.score));
        EXPECT_EQ(bits_of(p.front_value), bits_of(-0.0));
        EXPECT_EQ(p.raw_error, std::numeric_limits<double>::infinity());
        EXPECT_EQ(p.position, picked.position);
        EXPECT_EQ(p.candidate.a, 7U);
        EXPECT_EQ(p.candidate.b, 9U);
        EXPECT_EQ(p.candidate.left_level, 3U);
        EXPECT_EQ(p.candidate.op, 4U);
        EXPECT_EQ(p.candidate.arity, 2U);
        EXPECT_TRUE(p.fitted);
    }
    EXPECT_EQ(back.generated, 11U);
    EXPECT_EQ(back.judging_cpu_seconds, 0.25);
    const Expression decoded = decode_expression(back.front_expression);
    EXPECT_EQ(decoded.formula, expression.formula);
    EXPECT_EQ(decoded.complexity, 3U);
    EXPECT_EQ(decoded.var_count, 3U);
    ASSERT_EQ(decoded.tokens.size(), 3U);
    EXPECT_EQ(decoded.tokens[0].kind, TokenKind::Real);
    EXPECT_EQ(bits_of(decoded.tokens[0].value.re), bits_of(-0.0));
    EXPECT_EQ(decoded.tokens[1].index, 2U);
    EXPECT_EQ(decoded.tokens[2].arity, 2U);
    EXPECT_EQ(decoded.tokens[2].id, 4U);
}

TEST(SearchReplica, RefusesVerdictsThatDoNotMatchItsOffers) {
    Problem problem;
    problem.rows = {{1.0}, {2.0}};
    problem.targets = {1.0, 4.0};
    SearchReplica replica(problem);
    const std::vector<std::size_t> offers = replica.expand_share(0, 1);
    ASSERT_GT(offers[0], 8U);
    // A buffer one record short would leave an offer unsent.
    std::string block((offers[0] - 1) * sizeof(Offer), '\0');
    EXPECT_THROW(replica.write_offers({std::span<char>(block)}), std::invalid_argument);
    // One byte answers only eight offers.
    EXPECT_THROW(replica.keep_winners({std::string_view("\xff", 1)}), std::invalid_argument);
}

TEST(SearchReplica, RefusesABeamThatNamesNoParent) {
    Problem problem;
    problem.rows = {{1.0}, {2.0}};
    problem.targets = {1.0, 4.0};
    SearchReplica replica(problem);
    bfs::Picked picked;
    picked.candidate = bfs::Child{99, 0, 1, 8, 1};
    EXPECT_THROW(replica.add_level({picked}), std::invalid_argument);
}

}  // namespace
}  // namespace kov::distributed
