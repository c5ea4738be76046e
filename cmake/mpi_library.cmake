# Which MPI library the build uses, from MPI_Get_library_version (FindMPI,
# MPI_DETERMINE_LIBRARY_VERSION):
#   PAIRDOT_MPI       mpich, openmpi, msmpi, or mpi for another library: names
#                     the tests, the package and the install tree
#   PAIRDOT_MPI_TEXT  the library and its version, as --version shows it
if(WIN32)
  set(PAIRDOT_MPI msmpi)
  set(PAIRDOT_MPI_TEXT "Microsoft MPI")
elseif(MPI_CXX_LIBRARY_VERSION_STRING MATCHES "MPICH Version:[ \t]*([^ \t\n]+)")
  set(PAIRDOT_MPI mpich)
  set(PAIRDOT_MPI_TEXT "MPICH ${CMAKE_MATCH_1}")
elseif(MPI_CXX_LIBRARY_VERSION_STRING MATCHES "Open MPI v([^ ,]+)")
  set(PAIRDOT_MPI openmpi)
  set(PAIRDOT_MPI_TEXT "Open MPI ${CMAKE_MATCH_1}")
else()
  set(PAIRDOT_MPI mpi)
  string(REGEX REPLACE "[\n,].*" "" PAIRDOT_MPI_TEXT "${MPI_CXX_LIBRARY_VERSION_STRING}")
  if(PAIRDOT_MPI_TEXT STREQUAL "")
    set(PAIRDOT_MPI_TEXT "MPI ${MPI_CXX_VERSION}")
  endif()
endif()
message(STATUS "pairdot: built with ${PAIRDOT_MPI_TEXT}")

# What every tool's --version prints after its name.
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.hpp.in ${CMAKE_BINARY_DIR}/generated/pairdot_version.hpp
               @ONLY)
add_library(pairdot_version INTERFACE)
target_include_directories(pairdot_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
