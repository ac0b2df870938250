#pragma once

#include <cstddef>
#include <cstdint>

namespace kov {

// Every number that steers the thorough search, with the reason for its value. Limits that follow
// from the data or the settings (beam_width, max_complexity, the time limit) are not here; nor are
// numbers of a formula's own math (a mean's 1/n).
struct ThoroughTuning {
    // ---- Rows ------------------------------------------------------------------------------
    // Rows the levels cache and rank on; larger data is subsampled to this many, well spread over
    // the targets: enough to tell shapes apart, few enough that a level of 40 000 stays cheap.
    std::size_t sample_limit = 128;
    // Leading rows of the sample, spread over the targets, on which every candidate is screened
    // before the promising ones are ranked on the whole sample.
    std::size_t screening_rows = 16;
    // Candidates the screening passes on: this multiple of the keep, and at least this many more,
    // so that the screening's coarser order rarely drops one the whole sample would keep.
    std::size_t screened_keep_multiple = 2;
    std::size_t screened_beyond_keep = 256;
    // Rows the confirmations measure candidates on: evenly strided beyond this many, since
    // telling the best of a few candidates needs no more; polishing measures on all rows.
    std::size_t confirmation_limit = 1000;

    // ---- Levels ----------------------------------------------------------------------------
    // Children generated per level at most (parents beyond a common rank cap are left out),
    // unless beam_width parents per level give more; the memory budget bounds even those.
    double children_budget = 5e6;
    // Expressions a level keeps at most, and its constants (no variables) kept apart.
    std::size_t level_cap = 40000;
    std::size_t constant_quota = 64;
    // A level may take the memory left for the caches divided by this, so that the levels after
    // it still have room (beam_width expressions are kept while that much is left).
    double memory_left_parts = 3.0;
    // Levels a time-limited search may go to past max_complexity.
    std::uint64_t deepest_level = 40;
    // Children of a level cheap enough (milliseconds) to search for a shorter exact formula once
    // a longer one, offered ahead of the levels, is exact.
    double cheap_level_children = 2e5;
    // Targets the levels are ranked against: the real one and alternatives (times or divided by
    // a variable, less a block's share).
    std::size_t max_ranking_targets = 9;
    // Division by a variable ranks only where the variable keeps above this share of its
    // largest size: near zero the quotient is dominated by a few rows.
    double divisor_least_share = 1e-2;

    // ---- Memory ----------------------------------------------------------------------------
    // Bytes the search's data may take together (levels, fingerprint set, candidates, pools):
    // with the interpreter and its imports, a process well below 1.5 GB.
    double memory_budget = 1e9;
    // Shares of the budget for the levels' caches, the fingerprint set and one level's candidate
    // list. The rest (a tenth) covers what those bound: the ranking's heaps (twice a level's keep
    // of small picks per worker, a few MB each), the pool's partners (pairing_budget / pool size
    // blocks of one row of doubles: some 30 MB with the first pool of 256) and one fitter per
    // worker (a copy of the targets and a row's scratch each).
    double level_share = 0.40;
    double fingerprint_share = 0.30;
    double candidate_share = 0.20;
    // What the allocator adds to each block it hands out, in bytes.
    double allocator_overhead = 16.0;
    // Characters of formula text per token, generously: "Times(" and ", " around two operands.
    double text_per_token = 8.0;

    // ---- Offers to the front ---------------------------------------------------------------
    // Best candidates per level offered to the front in affine form.
    std::size_t offered_per_level = 96;
    // Of those (and of the fits), the best confirmed on all rows when the data is subsampled.
    std::size_t confirmed_per_level = 16;

    // ---- Fitted constants ------------------------------------------------------------------
    // Best candidates per level with named constants whose constants become fitted numbers.
    std::size_t fitted_per_level = 128;
    // More constants than this rarely fit from one start and cost the most.
    std::uint32_t max_fitted_constants = 4;
    // The final refit of the front starts from the numbers found, once, with this many steps:
    // they are close already.
    int polish_starts = 1;
    int polish_iterations = 100;

    // ---- Sums of two blocks ----------------------------------------------------------------
    // The best blocks of each level join a pool, the best of each new level are paired with the
    // whole pool, and the best pairs are confirmed on all rows.
    std::size_t pool_per_level = 64;
    // Small blocks are the usual terms of a sum: more of them join.
    std::size_t pool_per_small_level = 256;
    std::uint64_t small_level = 4;
    // Partners per level: as many as keep the pairing within this many multiply-adds, at least
    // the best few thousand.
    double pairing_budget = 1e9;
    std::size_t partners_at_least = 2000;
    std::size_t pairs_confirmed = 16;

    // ---- Sums of several blocks ------------------------------------------------------------
    // Picked, once this level is done, among the pool's blocks up to this complexity (single
    // functions of a variable, x·y, sin(x²), …) and the products of the variables, as many
    // whole degrees of those as give at most `most_products`.
    std::uint64_t simple_block_complexity = 4;
    std::size_t most_products = 84;
    // Products of more variables than this are left to the levels.
    std::size_t most_monomial_degree = 6;
    // Rows per coefficient at least, so that a sum cannot simply pass through the data; and the
    // fewest blocks a sum of several has (two are the pairs' business).
    std::size_t rows_per_term = 3;
    std::size_t fewest_terms = 3;
    // The forward selection: blocks in a sum at most, sums kept per size (each extended by as
    // many blocks), and the best sums of each size that come back.
    std::size_t most_terms = 6;
    std::size_t sum_beam = 12;
    std::size_t sums_per_size = 4;
    // Sums of products are also fitted to exp(y) (the logarithm of a sum), where no target is
    // larger than this in size: exp(y) then stays within e^20 of 1 and keeps the targets' digits.
    double largest_exponentiated_target = 20.0;
    // Every block of a sum that comes back explains, beyond the others, more than chance at this
    // level shared out over all the blocks it was picked from (Bonferroni): the best of hundreds
    // of blocks always explains some noise, and a term that only fits the noise bends the sum to
    // it. (Blocks that only count together, such as x³/5 − x, may enter one at a time without it.)
    double term_significance = 0.01;
    // A fitted coefficient this close to ±1 is also tried as ±1: with noise it wanders that far.
    double unit_room = 0.25;

    // ---- Residual targets ------------------------------------------------------------------
    // Blocks up to this complexity may lend the ranking a target: what remains of the targets
    // once the block's share is taken out, so that the other part of a sum survives until it is
    // paired. Such a block must explain some of the targets, but not nearly all.
    std::uint64_t residual_block_level = 3;
    double residual_least_correlation = 0.3;
    double residual_most_correlation = 0.9995;

    // ---- Tolerances ------------------------------------------------------------------------
    // Errors below this fraction of the targets' RMS are rounding: such formulas count as exact.
    double exact_fraction = 1e-12;
    // Combinations that leave less than this share of the target's spread unexplained are exact
    // as far as the ranking can tell (a few hundred roundings of the unit vectors' products).
    double exact_share = 1e-13;
    // Blocks whose part outside the others' span is below this share of their length squared
    // add nothing but an ill-determined coefficient: pairs and sums skip them.
    double collinear_limit = 1e-10;
    // Sums whose shares unexplained agree this closely span the same (their blocks differ by sign
    // or an offset): only the first is kept.
    double same_fit = 1e-9;
    // The one-pass sums of the ranking lose digits of a candidate's spread to cancellation: below
    // this share of its sum of squares it is rounding, and the values explain nothing. This is the
    // ranking's own guard, not the rule for a constant (has_spread): that rule would also count
    // values whose spread is within rounding of their size as constant, and change which
    // candidates the levels keep.
    double one_pass_rounding = 1e-13;

    // ---- Stopping --------------------------------------------------------------------------
    // A formula within this factor of the noise is as good as the data can tell: the search
    // stops. An estimated noise level is itself uncertain (and tends low on few rows), as is the
    // formula's error over the rows: against an estimate, the factor gets this many standard
    // errors of the two together more room.
    double given_noise_margin = 1.1;
    double estimate_standard_errors = 1.0;
    // Noise above this fraction of the targets' standard deviation makes the noise floor loose:
    // many formulas of simple numbers reach it, so reaching it says little about the structure.
    // At 1% of the targets a wrong structure rarely gets there; at 10% many do.
    double loose_floor_fraction = 0.05;
    // A formula reaches the floor only within this many standard errors of the squared error
    // (relative √(2/n) for n rows of Gaussian noise) of the best the front has reached.
    double floor_against_achieved_standard_errors = 1.0;
    // A pair's number, or a product's exponent, counts as simple within this many of its
    // standard errors of a whole or half number.
    double simple_number_errors = 2.0;

    // ---- Products of powers ----------------------------------------------------------------
    // Rows the fit in logarithms needs at least: on fewer, a constant and a power or two pass
    // through every row.
    std::size_t product_fewest_rows = 4;
    // Single-block products offered per level: the exact one ranks first when the level holds it,
    // the next few are near misses that cost little to confirm.
    std::size_t single_block_products = 8;
    // On noisy targets, single-block products tried besides those: of a level's blocks that fit
    // the logarithms within the noise with an exponent a half within the noise, the best this many.
    std::size_t noisy_single_block_products = 64;
    // Two-block products offered per level (a new block with a kept one).
    std::size_t two_block_products = 8;
    // Three-block products offered per level (a best pair with a third block).
    std::size_t three_block_products = 4;
    // Forward selection over each level: after its best block, the level's blocks that leave least
    // beside the ones chosen, this many per step (each chosen in turn: the best second block is not
    // always the true one), up to this many blocks in all.
    std::size_t selected_per_step = 3;
    std::size_t most_selected_blocks = 3;
    // Sums of two small monomials a·M1 + b·M2 + c: the monomials that explain most alone are each
    // paired with every other, and the best pairs are offered.
    std::size_t leading_monomials = 32;
    std::size_t monomial_pairs_offered = 8;
    // Blocks kept from earlier levels as partners of a new level's blocks.
    std::size_t kept_product_blocks = 48;
    // An exponent farther than this from a multiple of 1/2 is not a power law: the product is left
    // out. Noise of a few percent moves fitted exponents by far less.
    double exponent_room = 0.15;
    // Largest powers written out: x⁴ (as halves) for a variable, g² for a block.
    int most_variable_halves = 8;
    int most_block_halves = 4;
    // A block alone must explain at least this share of what the variables' powers leave of
    // log|y| to be offered alone, and this much smaller share to be kept as a partner (the two
    // halves of (c − v)(c + v) each explain little alone).
    double least_single_gain = 0.5;
    double least_partner_share = 0.05;
    // Small monomials tried as exponents: each variable's power from −2 to 2 in monomials of up to
    // `squared_variables` variables, ±1 in larger ones (m·g·h/(k·T)), at most this many variables
    // in one, and no more monomials than this (whole counts of variables only): their columns take
    // at most 12 000 · 3 · 128 doubles, 37 MB.
    std::size_t squared_variables = 3;
    std::size_t most_exponent_variables = 6;
    std::size_t most_exponent_monomials = 12000;
    // A block's logarithm whose part outside the variables' span is below this share of its length
    // is one of their monomials (or a constant): nothing new.
    double log_collinear_limit = 1e-9;
    // Values a block may take on the cached rows to be tried as an exponent, exp(c·u): beyond it
    // exp overflows or the block is no rate.
    double most_exponent = 300.0;
    // Blocks whose shares left agree this closely have the same logarithm.
    double same_log_fit = 1e-9;
    // A target this close to a monomial on the cached rows needs no blocks.
    double monomial_share = 1e-20;
    // A value whose imaginary part is within this share of its real part is real, the imaginary
    // part a complex intermediate's rounding: its logarithm is taken.
    double real_value_room = 1e-12;

    // ---- Verification ----------------------------------------------------------------------
    // Rows a formula is checked on at most (evenly strided beyond): its values there already
    // decided its error, and a value resting on rounding does so on most rows, so a few dozen show
    // it.
    std::size_t verified_rows = 64;
    // Points spread over the rows' bounding box: fresh points where the data lives, between and
    // around the rows, where a formula must be finite and real as well.
    std::size_t box_points = 24;
    // Largest tolerated difference between the double and the extended-precision real parts, and
    // the largest tolerated imaginary part, relative to the targets' scale plus the value's size.
    // Sound formulas differ by a few units of double rounding (1e-16) times their condition;
    // values built from rounding residues differ by their whole size. Well inside the 1e-7 a
    // comparison of returned formulas allows, since fresh points may be a little worse than the
    // checked ones.
    double wide_agreement = 1e-9;

    // ---- Work handed to a worker at a time ---------------------------------------------------
    // Speed only: the outcome is the same for any split. Cheap items go in larger chunks, so
    // that handing them out costs little beside the work.
    std::size_t screening_chunk = 256;  // candidates screened on the first rows
    std::size_t ranking_chunk = 64;     // promising candidates ranked on the sample
    std::size_t building_chunk = 64;    // kept children composed and evaluated
    std::size_t pairing_chunk = 16;     // partners, each paired with the whole pool
    std::size_t extension_chunk = 64;   // blocks, each tried on every sum of the beam
    std::size_t confirming_chunk = 2;   // expressions evaluated on all rows
};

inline constexpr ThoroughTuning thorough_tuning{};

static_assert(thorough_tuning.level_share + thorough_tuning.fingerprint_share +
                      thorough_tuning.candidate_share <
                  1.0,
              "the memory shares leave room for what they bound");

}  // namespace kov
