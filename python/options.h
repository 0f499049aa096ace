// The options of an enhancement run as Python keyword arguments, one loop over the tool's option
// table (app::nodeOptions()) plus integrator, threads and seed: nimbusdale.enhance,
// nimbusdale.Enhancer, enhance_file and the batch functions take the same names and defaults.
#ifndef NIMBUSDALE_PYTHON_OPTIONS_H
#define NIMBUSDALE_PYTHON_OPTIONS_H

#include <string>

#include "Enhancer.h"
#include "common.h"

namespace nimbusdale::python {

/// The options named in `kwargs`, the others at their defaults. Raises TypeError naming
/// `function` for a keyword that is no option or a value of the wrong type; the values are
/// checked later, by the run.
app::EnhanceOptions optionsFrom(const char* function, const py::kwargs& kwargs);

/// One docstring line per option: keyword, type, default, and the parameter it sets with its
/// meaning and rule.
std::string optionLines();

}  // namespace nimbusdale::python

#endif
