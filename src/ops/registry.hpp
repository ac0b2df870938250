#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ops/operator.hpp"

namespace kov {

// Numbers operators by position: an operator's id is its index. Filled completely before any
// lookup, then shared read-only (by the search's workers and by every result of the search).
class OperatorRegistry {
public:
    // Takes ownership; the new operator's id is the count before the call.
    void register_operator(std::unique_ptr<Operator> op);

    // Ids of all operators of this arity, ascending.
    [[nodiscard]] std::vector<std::size_t> ids_by_arity(std::uint8_t arity) const;

    [[nodiscard]] const OperatorList& operators() const { return operators_; }
    [[nodiscard]] const std::vector<OperatorMeta>& metas() const { return metas_; }
    [[nodiscard]] const Operator& op(std::size_t id) const { return *operators_[id]; }
    [[nodiscard]] const OperatorMeta& meta(std::size_t id) const { return metas_[id]; }
    [[nodiscard]] std::size_t size() const { return operators_.size(); }

    // The five constants "0", "1", "I", "Pi", "E" (ids 0-4), then all_builtins() (ids 5-20).
    [[nodiscard]] static OperatorRegistry with_builtins();

private:
    OperatorList operators_;
    std::vector<OperatorMeta> metas_;
};

}  // namespace kov
