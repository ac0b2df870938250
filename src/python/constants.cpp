// Constant recognition: the options of recognize_constant and recognize_constant_candidates, the
// search they run, and the precision report on the answers.

#include "python/constants.hpp"

#include <string>
#include <utility>

#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/search_result.hpp"

namespace kov::python {
namespace {

constexpr std::int32_t smallest_integer = 2;  // 0 and 1 are named constants already
constexpr std::int32_t largest_integer = 9;
constexpr int most_digits = 17;  // a double never holds more significant digits
constexpr std::uint64_t default_count = 10;
constexpr std::uint64_t most_candidates = 1000000;

// An integer argument in [low, high]; TypeError naming it when it is no integer, ValueError with
// the range otherwise.
std::optional<long long> bounded_integer(PyObject* object, const char* parameter, long long low,
                                         long long high) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be an integer, not %.200s", parameter,
                     Py_TYPE(object)->tp_name);
        return std::nullopt;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow != 0 || value < low || value > high) {
        PyRef text = PyRef::steal(PyObject_Repr(index.get()));
        if (!text) return std::nullopt;
        PyErr_Format(PyExc_ValueError, "%s must be between %lld and %lld, not %U", parameter, low,
                     high, text.get());
        return std::nullopt;
    }
    return value;
}

bool within(const SearchResult& result, const Precision& precision) {
    return result.error <= precision.tolerance;
}

}  // namespace

std::optional<ConstantRequest> parse_constant_request(PyObject* args, PyObject* kwargs,
                                                      const char* format, bool with_count) {
    // The binder wants exactly as many keywords as the format has fields.
    static const char* keywords[] = {"value", "integers", "digits", nullptr};
    static const char* keywords_with_count[] = {"value", "integers", "digits", "count", nullptr};
    PyObject* value_arg = nullptr;
    int integers = 0;
    PyObject* digits_arg = Py_None;
    PyObject* count_arg = nullptr;
    const bool parsed =
        with_count ? PyArg_ParseTupleAndKeywords(args, kwargs, format,
                                                 const_cast<char**>(keywords_with_count),
                                                 &value_arg, &integers, &digits_arg, &count_arg)
                   : PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords),
                                                 &value_arg, &integers, &digits_arg);
    if (!parsed) return std::nullopt;
    ConstantRequest request;
    const std::optional<double> value = to_real(value_arg, "value");
    if (!value || !check_finite(*value, "value")) return std::nullopt;
    request.value = *value;
    request.integers = integers != 0;
    if (digits_arg != Py_None) {
        const std::optional<long long> digits =
            bounded_integer(digits_arg, "digits", 1, most_digits);
        if (!digits) return std::nullopt;
        request.digits = static_cast<int>(*digits);
    }
    if (with_count) {
        request.count = default_count;
        if (count_arg != nullptr) {
            const std::optional<long long> count =
                bounded_integer(count_arg, "count", 1, static_cast<long long>(most_candidates));
            if (!count) return std::nullopt;
            request.count = static_cast<std::uint64_t>(*count);
        }
    }
    return request;
}

ConstantSearch plan_constant_search(const SearchConfig& settings, const ConstantRequest& request) {
    ConstantSearch plan;
    plan.targets = Vector{request.value};
    plan.precision = precision_of(request.value, request.digits);
    // Without integers the written search stays as it was: one variable, 0 at the one sample. With
    // them only constants are seeded; a variable that is always 0 would only repeat them.
    plan.rows = request.integers ? Matrix{Vector{}} : Matrix{Vector{0.0}};
    SearchConfig& config = plan.config;
    config = settings;
    // With a single sample point, fitting makes nearly every formula with a constant "exact"
    // (Plus(Pi, v_{0}) for 3.7); the answer must be a closed form, so nothing is fitted.
    config.fit_constants = false;
    config.real_answers_only = true;
    if (request.integers) {
        for (std::int32_t n = smallest_integer; n <= largest_integer; ++n) {
            config.integer_seeds.push_back(n);
        }
        config.rank_integer_completions = true;
    }
    // Digits given: a match to them ends the search, and no more formulas are tried than they can
    // tell apart. Without digits the early exit stays at its written tolerance.
    if (request.digits) {
        config.early_exit_tolerance = plan.precision.tolerance;
        config.formula_budget = plan.precision.formula_budget;
    }
    config.ranked_answers = request.count;
    return plan;
}

PyObject* wrap_constant_answer(std::vector<SearchResult>&& results, const ConstantSearch& plan) {
    // The engine can, in a corner case (only non-finite errors on the front), return no formula
    // at all; that is reported like a search that found nothing.
    if (results.empty()) {
        return raise(map_error(SearchError::no_formula_found(plan.config.max_complexity)));
    }
    SearchResult& best = results.front();
    const bool matched = within(best, plan.precision);
    return wrap_result(std::move(best), matched);
}

PyObject* wrap_constant_candidates(std::vector<SearchResult>&& results,
                                   const ConstantSearch& plan) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const bool matched = within(results[i], plan.precision);
        PyObject* item = wrap_result(std::move(results[i]), matched);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace kov::python
