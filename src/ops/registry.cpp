#include "ops/registry.hpp"

#include <utility>

#include "ops/builtins.hpp"

namespace kov {

void OperatorRegistry::register_operator(std::unique_ptr<Operator> op) {
    // The meta is read once, in this order, so the search never calls through the interface for it.
    OperatorMeta meta;
    meta.name = op->name();
    meta.arity = op->arity();
    meta.is_commutative = op->is_commutative();
    metas_.push_back(std::move(meta));
    operators_.push_back(std::move(op));
}

std::vector<std::size_t> OperatorRegistry::ids_by_arity(std::uint8_t arity) const {
    std::vector<std::size_t> ids;
    for (std::size_t id = 0; id < metas_.size(); ++id) {
        if (metas_[id].arity == arity) ids.push_back(id);
    }
    return ids;
}

OperatorRegistry OperatorRegistry::with_builtins() {
    OperatorRegistry registry;
    for (auto& constant : builtin_constants()) registry.register_operator(std::move(constant));
    for (auto& op : all_builtins()) registry.register_operator(std::move(op));
    return registry;
}

}  // namespace kov
