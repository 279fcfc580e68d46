# `docs`: the API reference of the public headers, as HTML under <build>/docs/html. Every warning
# fails the target, an undocumented public name included, so the reference stays complete.
find_package(Doxygen)
if(NOT DOXYGEN_FOUND)
  add_custom_target(docs COMMAND ${CMAKE_COMMAND} -E echo "docs: doxygen is not installed"
                    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()

set(DOXYGEN_PROJECT_NAME Velmora)
set(DOXYGEN_PROJECT_NUMBER ${PROJECT_VERSION})
set(DOXYGEN_PROJECT_BRIEF "${PROJECT_DESCRIPTION}")
set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
set(DOXYGEN_GENERATE_HTML YES)
set(DOXYGEN_GENERATE_LATEX NO)
set(DOXYGEN_QUIET YES)
set(DOXYGEN_WARN_IF_UNDOCUMENTED YES)
set(DOXYGEN_WARN_IF_DOC_ERROR YES)
set(DOXYGEN_WARN_NO_PARAMDOC YES)
set(DOXYGEN_WARN_AS_ERROR FAIL_ON_WARNINGS)
set(DOXYGEN_EXTRACT_ALL NO)
set(DOXYGEN_EXTRACT_PRIVATE NO)
set(DOXYGEN_HIDE_UNDOC_CLASSES NO)
set(DOXYGEN_FILE_PATTERNS *.hpp *.h *.md)
# Internal forward declarations and the generated export macros are not part of the API.
set(DOXYGEN_EXCLUDE_SYMBOLS detail)
set(DOXYGEN_EXCLUDE ${PROJECT_BINARY_DIR}/include/velmora/export.h
                    ${PROJECT_BINARY_DIR}/include/velmora/testing_export.h)
set(DOXYGEN_PREDEFINED VELMORA_EXPORT= VELMORA_TESTING_EXPORT= __cplusplus=202002L __cpp_impl_coroutine=201902L)
set(DOXYGEN_STRIP_FROM_PATH ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include)
set(DOXYGEN_STRIP_FROM_INC_PATH ${PROJECT_SOURCE_DIR}/include ${PROJECT_BINARY_DIR}/include)
set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/README.md)
# The page "Examples" quotes the example programs whole, so the reference shows the code that
# scripts/test builds and runs, not a copy that could drift from it.
set(DOXYGEN_EXAMPLE_PATH ${PROJECT_SOURCE_DIR}/examples)

# The README is the main page; docs/ holds the pages it links (payloads, sending safely,
# failures, verification codes, examples); the changelog says what changed for a caller.
doxygen_add_docs(docs ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
                 ${PROJECT_SOURCE_DIR}/docs
                 ${PROJECT_SOURCE_DIR}/include/velmora
                 ${PROJECT_BINARY_DIR}/include/velmora/config.hpp
                 COMMENT "API reference in ${PROJECT_BINARY_DIR}/docs/html")
