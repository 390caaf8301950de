// Function definitions of agents.transmute.lorepick, bound by the module's import.
#pragma once

#include "function.hpp"

namespace lorepick {

extern const transmute::FunctionDef kDetectConstructCategories;
extern const transmute::FunctionDef kSelectKnowledge;
extern const transmute::FunctionDef kExtractSections;

}  // namespace lorepick
