// Module-level names bound to other libraries, imported when first used.
//
// Each module binds at import the names callers know it by (`librosa`, `np`,
// `wavfile`, `pd`, `plt`, ...), and looks them up at call time, so callers can
// substitute them. Importing the heavy ones at once would make every
// `import tavol.x` pay for librosa, scipy, pandas and matplotlib even when the
// script never needs them, so those are bound through the module's
// `__getattr__`: the first lookup imports the library, stores it in the
// module's namespace (later lookups are plain attribute hits, and a caller's
// substitute simply replaces it) and returns it.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

namespace tavol::bind {

namespace py = pybind11;

struct LazyName {
  const char *name;                // the module attribute
  const char *module;              // the module imported for it
  const char *attribute = nullptr; // the attribute of `module` bound, or the module itself
  const char *also = nullptr;      // a submodule that must be imported with it (side effects)
  const char *extra = nullptr;     // the tavol extra that installs `module`, if one does
};

// `import name` of a package that one of tavol's extras installs. When it is
// missing, the ModuleNotFoundError says which extra brings it:
// "tavol.util.visual needs matplotlib: pip install 'tavol[plot]'".
py::module_ import_extra(const char *name, const char *extra, const char *importer);

// Binds `names` on `m` lazily (see above); dir(m) lists them too. A name whose
// library is missing raises, on first use, the ModuleNotFoundError of import_extra.
//
// `extras` maps further public names to private attributes of `m` itself
// (`{"render", "_render"}`): names beyond the documented surface, reached
// through the same __getattr__ but never stored in, nor listed with, the
// module's documented namespace.
void bind_lazily(py::module_ &m, std::initializer_list<LazyName> names,
                 std::initializer_list<std::pair<const char *, const char *>> extras = {});

} // namespace tavol::bind
