# The symbols an extension module exports: its Python entry point alone.
# Hidden visibility (pybind11_add_module) already hides our own code; template
# instantiations from the standard library would still leak out, so the linker
# is told the one symbol to keep. The link option is the platform's own: this
# file is the only place a port to another linker touches.

# tavol_export_only_init(target): `target` exports PyInit_* and nothing else.
function(tavol_export_only_init target)
  if(UNIX AND NOT APPLE)
    # GNU ld, gold, lld and mold read GNU version scripts.
    set(map "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/exports.map")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${map}")
    set_target_properties(${target} PROPERTIES LINK_DEPENDS ${map})
  endif()
  # macOS (ld64: -exported_symbol) and Windows (a DLL exports only what is
  # marked) rely on hidden visibility until a port adds their options here.
endfunction()
