// The private functions behind kov_sr.distributed: a search split into shares that run in Dask
// tasks. Python only moves the byte strings these functions produce between processes; every
// decision of the search is taken here, by the engine's distributed entry points.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/distributed/distributed_driver.hpp"
#include "engine/entry/run_bfs.hpp"
#include "engine/levels/pool.hpp"
#include "engine/search/bfs_progress.hpp"
#include "engine/select/result_criterion.hpp"
#include "python/arguments.hpp"
#include "python/conversion.hpp"
#include "python/errors.hpp"
#include "python/interpreter_lock.hpp"
#include "python/members.hpp"
#include "python/options.hpp"
#include "python/py_ref.hpp"
#include "python/search_result.hpp"
#include "python/search_turn.hpp"
#include "python/searcher.hpp"

namespace kov::python {
namespace {

using distributed::FingerprintShard;
using distributed::Offer;
using distributed::OfferView;
using distributed::Problem;
using distributed::SearchDriver;
using distributed::SearchReplica;
using distributed::ShareScores;

constexpr const char* replica_capsule = "kov_sr._core._DistributedReplica";
constexpr const char* driver_capsule = "kov_sr._core._DistributedDriver";

// What one worker holds for one search: its copy of the levels and its shard of the fingerprints.
// Each step takes a search turn and then works without the interpreter lock, so that a Dask worker
// keeps answering its scheduler and steps never overlap with another search of the process.
struct WorkerSearch {
    WorkerSearch(Problem problem, std::size_t share_, std::size_t shares_)
        : replica(std::move(problem)),
          shard(replica.seed_offers(), share_, shares_),
          share(share_),
          shares(shares_) {}

    SearchReplica replica;
    FingerprintShard shard;
    std::size_t share;
    std::size_t shares;
};

template <class T>
void destroy_capsule(PyObject* capsule) {
    const char* name = PyCapsule_GetName(capsule);
    delete static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}

template <class T>
T* from_capsule(PyObject* object, const char* name) {
    return static_cast<T*>(PyCapsule_GetPointer(object, name));
}

PyObject* to_bytes(const std::string& bytes) {
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

std::optional<std::string_view> bytes_view(PyObject* object) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

// The byte strings of a sequence, as views that live as long as the returned owner.
struct BytesList {
    PyRef sequence;
    std::vector<std::string_view> views;
};

std::optional<BytesList> bytes_list(PyObject* object, const char* what) {
    BytesList list;
    list.sequence = PyRef::steal(PySequence_Fast(object, what));
    if (!list.sequence) return std::nullopt;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(list.sequence.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
        const std::optional<std::string_view> view =
            bytes_view(PySequence_Fast_GET_ITEM(list.sequence.get(), i));
        if (!view) return std::nullopt;
        list.views.push_back(*view);
    }
    return list;
}

PyObject* bytes_tuple(const std::vector<std::string>& items) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = to_bytes(items[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

std::optional<std::vector<double>> finite_vector(PyObject* object, const char* argument) {
    std::optional<std::vector<double>> values = convert_to_vec(object);
    if (values && !check_finite(*values, argument)) return std::nullopt;
    return values;
}

// ---- The driver --------------------------------------------------------------------------------

// _distributed_problem(searcher, kind, first, second): the search a Searcher method would run,
// converted and checked as that method converts and checks it, as (bytes, splittable). Kinds:
// "function" (xs, ys), "multivariate" (inputs, ys), "candidates" (inputs, ys: no early exit).
// Not splittable: strategies other than the classic one and time limits, which the caller runs as
// one task (as it runs constant recognition, a small search with settings of its own).
PyObject* problem(PyObject*, PyObject* args) {
    PyObject* searcher = nullptr;
    const char* kind = nullptr;
    PyObject* first = nullptr;
    PyObject* second = nullptr;
    if (!PyArg_ParseTuple(args, "OsOO:_distributed_problem", &searcher, &kind, &first, &second)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const SearchConfig* config = searcher_config(searcher);
        if (config == nullptr) return nullptr;
        Problem problem;
        problem.config = *config;
        const std::string_view which(kind);
        if (which == "function") {
            const std::optional<std::vector<double>> xs = finite_vector(first, "xs");
            if (!xs) return nullptr;
            const std::optional<std::vector<double>> ys = finite_vector(second, "ys");
            if (!ys) return nullptr;
            for (const double x : *xs) problem.rows.push_back({x});
            problem.targets = *ys;
        } else if (which == "multivariate" || which == "candidates") {
            std::optional<Matrix> inputs = convert_to_matrix(first);
            if (!inputs || !check_finite(*inputs, "inputs")) return nullptr;
            const std::optional<std::vector<double>> ys = finite_vector(second, "ys");
            if (!ys) return nullptr;
            problem.rows = std::move(*inputs);
            problem.targets = *ys;
            problem.config.disable_early_exit = which == "candidates";
        } else {
            PyErr_Format(PyExc_ValueError, "unknown search kind %s", kind);
            return nullptr;
        }
        const bool splittable =
            problem.config.strategy == Strategy::classic && !problem.config.time_limit;
        if (splittable) {
            // The local search's own checks before any worker is asked.
            if (const std::optional<SearchError> refused =
                    check_search_input(problem.rows, problem.targets, problem.config)) {
                return raise(map_error(*refused));
            }
        }
        PyRef bytes = PyRef::steal(to_bytes(distributed::encode_problem(problem)));
        if (!bytes) return nullptr;
        return Py_BuildValue("(OO)", bytes.get(), splittable ? Py_True : Py_False);
    });
}

// _distributed_settings(problem) -> {name: value}: the Searcher settings a problem carries, as
// Searcher's pickle state holds them (what a worker's search runs with).
PyObject* settings(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const std::optional<std::string_view> bytes = bytes_view(arg);
        if (!bytes) return nullptr;
        return searcher_settings(distributed::decode_problem(*bytes).config);
    });
}

struct DriverState {
    SearchDriver driver;
    std::chrono::steady_clock::time_point level_start = std::chrono::steady_clock::now();
};

// _distributed_driver(problem) -> (driver, seeds, max_complexity, verbose): seeds the front.
PyObject* driver_new(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const std::optional<std::string_view> bytes = bytes_view(arg);
        if (!bytes) return nullptr;
        auto state = std::make_unique<DriverState>(DriverState{
            SearchDriver(distributed::decode_problem(*bytes)), std::chrono::steady_clock::now()});
        const std::size_t seeds = state->driver.seed_count();
        PyRef capsule =
            PyRef::steal(PyCapsule_New(state.get(), driver_capsule, destroy_capsule<DriverState>));
        if (!capsule) return nullptr;
        state.release();
        const SearchConfig& config =
            from_capsule<DriverState>(capsule.get(), driver_capsule)->driver.config();
        return Py_BuildValue("(OnKO)", capsule.get(), static_cast<Py_ssize_t>(seeds),
                             static_cast<unsigned long long>(config.max_complexity),
                             config.verbose ? Py_True : Py_False);
    });
}

// _distributed_early_exit(driver) -> bool
PyObject* driver_early_exit(PyObject*, PyObject* arg) {
    auto* state = from_capsule<DriverState>(arg, driver_capsule);
    if (state == nullptr) return nullptr;
    return PyBool_FromLong(state->driver.early_exit() ? 1 : 0);
}

// _distributed_seeded_line(seeds) -> str
PyObject* seeded(PyObject*, PyObject* arg) {
    const Py_ssize_t seeds = PyLong_AsSsize_t(arg);
    if (seeds < 0 && PyErr_Occurred()) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::string line = seeded_line(static_cast<std::size_t>(seeds));
        return PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size()));
    });
}

// _distributed_merge(driver, scores) -> (beam, progress line, share statistics): merges the
// shares' scores of the next level.
PyObject* driver_merge(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* scores_arg = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_distributed_merge", &capsule, &scores_arg)) return nullptr;
    auto* state = from_capsule<DriverState>(capsule, driver_capsule);
    if (state == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        std::optional<BytesList> list = bytes_list(scores_arg, "scores must be a sequence");
        if (!list) return nullptr;
        std::vector<ShareScores> scores;
        for (std::string_view bytes : list->views) {
            scores.push_back(distributed::decode_share_scores(bytes));
        }
        const std::uint64_t level = state->driver.next_level();
        const std::vector<bfs::Picked> beam = state->driver.merge(scores);
        const auto now = std::chrono::steady_clock::now();
        const std::string line = level_line(
            level, std::chrono::duration_cast<std::chrono::nanoseconds>(now - state->level_start),
            beam.size());
        state->level_start = now;
        PyRef stats = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(scores.size())));
        if (!stats) return nullptr;
        for (std::size_t i = 0; i < scores.size(); ++i) {
            const ShareScores& s = scores[i];
            PyObject* item = Py_BuildValue(
                "{sKsKsKsKsKsdsdsdsdsdsd}", "generated",
                static_cast<unsigned long long>(s.generated), "offered",
                static_cast<unsigned long long>(s.offered), "unique",
                static_cast<unsigned long long>(s.unique), "scored",
                static_cast<unsigned long long>(s.scored), "fitted",
                static_cast<unsigned long long>(s.fitted), "expansion_seconds", s.expansion_seconds,
                "scoring_seconds", s.scoring_seconds, "judging_seconds", s.judging_seconds,
                "expansion_cpu_seconds", s.expansion_cpu_seconds, "scoring_cpu_seconds",
                s.scoring_cpu_seconds, "judging_cpu_seconds", s.judging_cpu_seconds);
            if (item == nullptr) return nullptr;
            PyTuple_SET_ITEM(stats.get(), static_cast<Py_ssize_t>(i), item);
        }
        PyRef beam_bytes = PyRef::steal(to_bytes(distributed::encode_picks(beam)));
        PyRef text = PyRef::steal(
            PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
        if (!beam_bytes || !text) return nullptr;
        return Py_BuildValue("(OOO)", beam_bytes.get(), text.get(), stats.get());
    });
}

// _distributed_finish(driver, pick) -> what the Searcher method returns: pick "first" the most
// accurate SearchResult, "selected" the one of least description length, "all" the list of them
// all, most accurate first; raised as the Searcher's methods raise when there is none.
PyObject* driver_finish(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    const char* pick = nullptr;
    if (!PyArg_ParseTuple(args, "Os:_distributed_finish", &capsule, &pick)) return nullptr;
    auto* state = from_capsule<DriverState>(capsule, driver_capsule);
    if (state == nullptr) return nullptr;
    const std::string_view which(pick);
    if (which != "first" && which != "selected" && which != "all") {
        PyErr_Format(PyExc_ValueError, "unknown pick %s", pick);
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const std::uint64_t max_complexity = state->driver.config().max_complexity;
        SearchOutcome outcome = state->driver.finish();
        if (const SearchError* error = std::get_if<SearchError>(&outcome)) {
            return raise(map_error(*error));
        }
        auto& results = std::get<std::vector<SearchResult>>(outcome);
        if (which != "all") {
            // Only non-finite errors on the front: reported like a search that found nothing.
            const std::optional<std::size_t> chosen =
                which == "first" ? (results.empty() ? std::nullopt : std::optional<std::size_t>(0))
                                 : select_by_description_length(results);
            if (!chosen) return raise(map_error(SearchError::no_formula_found(max_complexity)));
            return wrap_result(std::move(results[*chosen]));
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < results.size(); ++i) {
            PyObject* item = wrap_result(std::move(results[i]));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// ---- The workers -------------------------------------------------------------------------------

// _distributed_replica(problem, share, shares, threads) -> replica: this worker's copy of the
// search, seeded, with its shard of the seeds' fingerprints. `threads` is the worker's thread
// count.
PyObject* replica_new(PyObject*, PyObject* args) {
    Py_buffer problem{};
    Py_ssize_t share = 0;
    Py_ssize_t shares = 0;
    Py_ssize_t threads = 0;
    if (!PyArg_ParseTuple(args, "y*nnn:_distributed_replica", &problem, &share, &shares,
                          &threads)) {
        return nullptr;
    }
    std::string bytes(static_cast<const char*>(problem.buf), static_cast<std::size_t>(problem.len));
    PyBuffer_Release(&problem);
    if (shares < 1 || share < 0 || share >= shares || threads < 1) {
        PyErr_SetString(PyExc_ValueError,
                        "share must lie in range(shares) and threads be positive");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const SearchTurn turn;
        if (!turn.taken()) return nullptr;
        std::unique_ptr<WorkerSearch> search;
        {
            const InterpreterLockReleased unlocked;
            set_worker_count(static_cast<std::size_t>(threads));
            search = std::make_unique<WorkerSearch>(distributed::decode_problem(bytes),
                                                    static_cast<std::size_t>(share),
                                                    static_cast<std::size_t>(shares));
        }
        PyObject* capsule =
            PyCapsule_New(search.get(), replica_capsule, destroy_capsule<WorkerSearch>);
        if (capsule != nullptr) search.release();
        return capsule;
    });
}

// _distributed_expand(replica) -> one byte string of offers per shard. The offers are written
// straight into the byte strings that carry them: at the largest levels they are hundreds of
// megabytes, and every extra copy costs the workers' processors as much as a share of the search.
PyObject* replica_expand(PyObject*, PyObject* arg) {
    auto* search = from_capsule<WorkerSearch>(arg, replica_capsule);
    if (search == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        const SearchTurn turn;
        if (!turn.taken()) return nullptr;
        std::vector<std::size_t> counts;
        {
            const InterpreterLockReleased unlocked;
            counts = search->replica.expand_share(search->share, search->shares);
        }
        PyRef pieces = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(counts.size())));
        if (!pieces) return nullptr;
        std::vector<std::span<char>> out;
        for (std::size_t j = 0; j < counts.size(); ++j) {
            const std::size_t size = counts[j] * sizeof(Offer);
            PyObject* piece = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
            if (piece == nullptr) return nullptr;
            PyTuple_SET_ITEM(pieces.get(), static_cast<Py_ssize_t>(j), piece);
            out.emplace_back(PyBytes_AS_STRING(piece), size);
        }
        {
            const InterpreterLockReleased unlocked;
            search->replica.write_offers(out);
        }
        return pieces.release();
    });
}

// Blocks of bytes read in place from objects that export a buffer (the byte strings
// _distributed_expand made, or Dask's views of what it received); pinned while this lives.
struct PinnedBlocks {
    std::vector<std::unique_ptr<BufferView>> buffers;
    std::vector<std::string_view> blocks;

    [[nodiscard]] bool add(PyObject* object) {
        auto& buffer = buffers.emplace_back(std::make_unique<BufferView>());
        if (!buffer->acquire(object, PyBUF_SIMPLE)) return false;
        const Py_buffer& view = buffer->view();
        blocks.emplace_back(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
        return true;
    }
};

// _distributed_offer(replica, offers) -> None: this worker's shard takes its own share's offers
// of the level, while the other shares' are still on their way.
PyObject* replica_offer(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* offers_arg = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_distributed_offer", &capsule, &offers_arg)) return nullptr;
    auto* search = from_capsule<WorkerSearch>(capsule, replica_capsule);
    if (search == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        PinnedBlocks pinned;
        if (!pinned.add(offers_arg)) return nullptr;
        const SearchTurn turn;
        if (!turn.taken()) return nullptr;
        {
            const InterpreterLockReleased unlocked;
            search->shard.offer(search->share, OfferView(pinned.blocks.front()));
        }
        Py_RETURN_NONE;
    });
}

// _distributed_judge(replica, offers) -> one byte string of verdict bits per share: `offers`
// holds what every share offered this worker's shard, in share order (its own share's again if
// _distributed_offer took them already).
PyObject* replica_judge(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* offers_arg = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_distributed_judge", &capsule, &offers_arg)) return nullptr;
    auto* search = from_capsule<WorkerSearch>(capsule, replica_capsule);
    if (search == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        const PyRef sequence =
            PyRef::steal(PySequence_Fast(offers_arg, "offers must be a sequence"));
        if (!sequence) return nullptr;
        PinnedBlocks pinned;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
            if (!pinned.add(PySequence_Fast_GET_ITEM(sequence.get(), i))) return nullptr;
        }
        const SearchTurn turn;
        if (!turn.taken()) return nullptr;
        std::vector<std::string> verdicts;
        {
            const InterpreterLockReleased unlocked;
            std::vector<OfferView> offers;
            for (std::string_view block : pinned.blocks) offers.emplace_back(block);
            verdicts = search->shard.verdicts(offers);
        }
        return bytes_tuple(verdicts);
    });
}

// _distributed_score(replica, verdicts) -> this share's scores: `verdicts` holds every shard's
// verdict on this share's offers, in shard order.
PyObject* replica_score(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* verdicts_arg = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_distributed_score", &capsule, &verdicts_arg)) return nullptr;
    auto* search = from_capsule<WorkerSearch>(capsule, replica_capsule);
    if (search == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        std::optional<BytesList> list = bytes_list(verdicts_arg, "verdicts must be a sequence");
        if (!list) return nullptr;
        const SearchTurn turn;
        if (!turn.taken()) return nullptr;
        std::string scores;
        {
            const InterpreterLockReleased unlocked;
            search->replica.keep_winners(list->views);
            ShareScores share = search->replica.score_share();
            share.judging_seconds = search->shard.last_seconds();
            share.judging_cpu_seconds = search->shard.last_cpu_seconds();
            scores = distributed::encode_share_scores(share);
        }
        return to_bytes(scores);
    });
}

// _distributed_add_level(replica, beam) -> the number of levels built: appends the merged beam.
PyObject* replica_add_level(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* beam_arg = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_distributed_add_level", &capsule, &beam_arg)) return nullptr;
    auto* search = from_capsule<WorkerSearch>(capsule, replica_capsule);
    if (search == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::optional<std::string_view> bytes = bytes_view(beam_arg);
        if (!bytes) return nullptr;
        const SearchTurn turn;
        if (!turn.taken()) return nullptr;
        std::uint64_t built = 0;
        {
            const InterpreterLockReleased unlocked;
            search->replica.add_level(distributed::decode_picks(*bytes));
            built = search->replica.levels_built();
        }
        return PyLong_FromUnsignedLongLong(built);
    });
}

PyMethodDef functions[] = {
    {"_distributed_problem", problem, METH_VARARGS, nullptr},
    {"_distributed_settings", settings, METH_O, nullptr},
    {"_distributed_driver", driver_new, METH_O, nullptr},
    {"_distributed_early_exit", driver_early_exit, METH_O, nullptr},
    {"_distributed_seeded_line", seeded, METH_O, nullptr},
    {"_distributed_merge", driver_merge, METH_VARARGS, nullptr},
    {"_distributed_finish", driver_finish, METH_VARARGS, nullptr},
    {"_distributed_replica", replica_new, METH_VARARGS, nullptr},
    {"_distributed_expand", replica_expand, METH_O, nullptr},
    {"_distributed_offer", replica_offer, METH_VARARGS, nullptr},
    {"_distributed_judge", replica_judge, METH_VARARGS, nullptr},
    {"_distributed_score", replica_score, METH_VARARGS, nullptr},
    {"_distributed_add_level", replica_add_level, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_distributed(PyObject* module) {
    // Private: outside __all__, for kov_sr.distributed only.
    return PyModule_AddFunctions(module, functions) == 0;
}

}  // namespace kov::python
