// The registry of hardware models (sim/model.h).
#include "sim/model.h"

namespace sim {
namespace {

std::vector<Model>& registry() {
  static std::vector<Model>* r = new std::vector<Model>;  // used by static constructors
  return *r;
}

}  // namespace

ModelRegistrar::ModelRegistrar(Model model) { registry().push_back(std::move(model)); }

const std::vector<Model>& models() { return registry(); }

void models_reset() {
  for (const Model& m : registry()) {
    if (m.on_reset) m.on_reset();
  }
}

}  // namespace sim
