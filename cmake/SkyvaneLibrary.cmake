# skyvane_library(NAME [EXCLUDE file...] DEPS dep...)
# Makes the static library of one subsystem from every .cpp file in its
# folder (files added later are picked up at the next build), linked to the
# libraries below it that it calls (the floors of the README's Layout: a
# library never names one above it). A subsystem with no sources yet is an
# interface library, so that the others can already name it.
function(skyvane_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()
