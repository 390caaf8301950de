// Function definitions of agents.transmute.complexity, bound by the module's import.
#pragma once

#include "function.hpp"

namespace complexity {

extern const transmute::FunctionDef kClassifySql;
extern const transmute::FunctionDef kClassifySqlFile;
extern const transmute::FunctionDef kAnalysisTurns;
extern const transmute::FunctionDef kConversionTurns;
extern const transmute::FunctionDef kAuditTurns;
extern const transmute::FunctionDef kPlanReadingStrategy;
extern const transmute::FunctionDef kFormatReadingInstructions;

}  // namespace complexity
