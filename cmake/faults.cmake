# The fault-injection build (make faults): tests can fail any allocation that
# the module's own code makes, and any that Roaring makes through it, and can
# keep threads from starting. Never part of a release.
if(TESSELLAR_FAULTS)
  add_library(tessellar_faults SHARED tests/faults/faults.c)
  add_library(tessellar_no_threads SHARED tests/faults/no_threads.c)
  # Assertions also keep std::string's code in our objects, so that its
  # allocations go through the operator new below.
  target_compile_definitions(tessellar_core PUBLIC TESSELLAR_FAULT_INJECTION _GLIBCXX_ASSERTIONS)
  target_link_libraries(tessellar_core PUBLIC tessellar_faults)
  target_sources(tessellar PRIVATE tests/faults/operator_new.cpp)
endif()
