#include "options.h"

#include <sstream>

namespace nimbusdale::python {
namespace {

template <class T>
T valueOf(const char* function, const std::string& keyword, const py::handle& value,
          const char* typeName) {
  try {
    return value.cast<T>();
  } catch (const py::cast_error&) {
    throw py::type_error(std::string(function) + "(): " + keyword + " must be " + typeName +
                         ", not " + std::string(py::str(py::type::of(value).attr("__name__"))));
  }
}

}  // namespace

app::EnhanceOptions optionsFrom(const char* function, const py::kwargs& kwargs) {
  app::EnhanceOptions o;
  for (const auto& [key, value] : kwargs) {
    const std::string keyword = py::str(key);
    if (keyword == "integrator")
      o.integrator = app::integratorNamed(valueOf<std::string>(function, keyword, value, "a str"));
    else if (keyword == "threads")
      o.threads = valueOf<int>(function, keyword, value, "an int");
    else if (keyword == "seed")
      o.seed = valueOf<unsigned>(function, keyword, value, "an unsigned int");
    else if (const app::NodeOption* option = app::findNodeOption(keyword))
      o.nodes.set(*option, option->spec().type == HostType::Int
                               ? valueOf<int>(function, keyword, value, "an int")
                               : valueOf<float>(function, keyword, value, "a number"));
    else
      throw py::type_error(std::string(function) + "() got an unexpected keyword argument '" +
                           keyword + "'");
  }
  return o;
}

std::string optionLines() {
  const app::EnhanceOptions d;
  std::ostringstream s;
  s << "integrator (str, default '" << d.integratorName() << "'): ";
  for (const IntegratorName& entry : kIntegrators)
    s << "'" << entry.name << "' (" << entry.type->name << ")"
      << (&entry == std::end(kIntegrators) - 1 ? ".\n" : ", ");
  for (const app::NodeOption& option : app::nodeOptions()) {
    const bool isInt = option.spec().type == HostType::Int;
    s << option.keyword << " (" << (isInt ? "int" : "float") << ", default "
      << typicalText(option.spec()) << "): " << option.help() << ".\n";
  }
  s << "threads (int, default " << d.threads
    << "): threads of the run (0: up to OpenMP's default, one where more would be slower).\n"
    << "seed (int, default " << d.seed << "): srand() seed of the estimators' starting points.\n";
  return s.str();
}

}  // namespace nimbusdale::python
