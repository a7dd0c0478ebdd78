execute_process(COMMAND nm -DC --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
foreach(required
    "tarn::lattice::TARNWrapper::getInstance()"
    "tarn::lattice::TARNWrapper::notifyLattice("
    "tarn::lattice::TARNWrapper::connect("
    "tarn::lattice::TARNWrapper::PERSONA_ID"
    "tarn::client::Topology::isValid() const"
    "tarn::client::operator<<(std::ostream&, tarn::client::Peer const&)"
    "tarn::client::toString[abi:cxx11](tarn::client::NatType)"
    "typeinfo for tarn::client::NoUDPConnectionException"
    "typeinfo for tarn::client::Configurator"
    "vtable for tarn::lattice::TARNWrapper"
    "T tarn_version"
    "T tarn_connect_async"
    "T tarn_shutdown")
  string(FIND "${symbols}" "${required}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing export: ${required}")
  endif()
endforeach()
string(REGEX MATCHALL "[^\n]*(boost|google|tarn::generated|tarn::client::impl|tarn::server)[^\n]*" leaked "${symbols}")
if(leaked)
  list(JOIN leaked "\n" shown)
  message(FATAL_ERROR "symbols that must stay inside the library:\n${shown}")
endif()
