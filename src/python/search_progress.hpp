#pragma once

#include "python/py_ref.hpp"

#include <optional>

#include "engine/search/config.hpp"

namespace kov::python {

// The receiver of one search's progress events, from the `progress=` argument of a search method:
// None or False for none, True for the package's progress bar (kov_sr.progress.ProgressBar, a tqdm
// bar when tqdm is installed), or any callable taking (level, elapsed, time_limit, best_error,
// best_formula). The bar is closed when the search ends, however it ends.
class SearchProgress {
public:
    // Empty with a Python error set when `argument` is neither.
    [[nodiscard]] static std::optional<SearchProgress> from_argument(PyObject* argument,
                                                                     const SearchConfig& config);
    SearchProgress(SearchProgress&&) = default;
    SearchProgress& operator=(SearchProgress&&) = default;
    ~SearchProgress();

    // The callable to call, or null.
    [[nodiscard]] PyObject* callback() const noexcept { return callback_.get(); }

private:
    SearchProgress() = default;
    PyRef callback_;
    bool owned_bar_ = false;
};

}  // namespace kov::python
