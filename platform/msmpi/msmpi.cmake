# MPI::MPI_CXX for the Windows build: Microsoft MPI's SDK when its installer's
# variables are set (MSMPI_INC, MSMPI_LIB64), else the declarations in
# include/mpi.h and an import library of msmpi.dll made from msmpi.def.
if(DEFINED ENV{MSMPI_INC} AND DEFINED ENV{MSMPI_LIB64})
  file(TO_CMAKE_PATH "$ENV{MSMPI_INC}" msmpi_inc)
  file(TO_CMAKE_PATH "$ENV{MSMPI_LIB64}" msmpi_lib64)
  set(MPI_CXX_HEADER_DIR "${msmpi_inc}" CACHE PATH "MS-MPI headers")
  set(MPI_CXX_LIB_NAMES msmpi CACHE STRING "MS-MPI libraries")
  set(MPI_msmpi_LIBRARY "${msmpi_lib64}/msmpi.lib" CACHE FILEPATH "MS-MPI import library")
  find_package(MPI REQUIRED COMPONENTS CXX)
  return()
endif()

if(NOT CMAKE_DLLTOOL)
  message(FATAL_ERROR "Without MS-MPI's SDK (MSMPI_INC, MSMPI_LIB64), the build needs "
                      "MinGW's dlltool (CMAKE_DLLTOOL) to make msmpi.dll's import library")
endif()
set(msmpi_dir ${CMAKE_CURRENT_LIST_DIR})
set(msmpi_import ${CMAKE_BINARY_DIR}/libmsmpi.a)
add_custom_command(
  OUTPUT ${msmpi_import}
  COMMAND ${CMAKE_DLLTOOL} --input-def ${msmpi_dir}/msmpi.def --output-lib ${msmpi_import}
  DEPENDS ${msmpi_dir}/msmpi.def
  COMMENT "Making the import library of msmpi.dll"
  VERBATIM)
add_custom_target(msmpi_import_library DEPENDS ${msmpi_import})
add_library(msmpi INTERFACE)
target_include_directories(msmpi INTERFACE ${msmpi_dir}/include)
target_link_libraries(msmpi INTERFACE ${msmpi_import})
add_dependencies(msmpi msmpi_import_library)
add_library(MPI::MPI_CXX ALIAS msmpi)
