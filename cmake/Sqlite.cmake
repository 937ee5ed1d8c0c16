# SQLite, the console host's storage engine, compiled from the official amalgamation
# (sqlite3.c and sqlite3.h). The pair is taken from a pinned release of the npm package
# better-sqlite3, which ships SQLite's amalgamation unchanged in deps/sqlite3/. The package
# tarball is downloaded once into the build folder, checked against its SHA-256 and unpacked
# there; nothing of it is kept in the source tree.
#
# Target: sqlite3 (static library); its include folder carries sqlite3.h.

set(SQLITE_PACKAGE better-sqlite3)
set(SQLITE_PACKAGE_VERSION 12.4.1)  # ships SQLite 3.50.4
set(SQLITE_PACKAGE_SHA256 14398acbf00d1e8fe0a2753df7d4f15c13138e4b874f4e6e96791f65b4536d0d)
set(SQLITE_PACKAGE_URL
    https://registry.npmjs.org/${SQLITE_PACKAGE}/-/${SQLITE_PACKAGE}-${SQLITE_PACKAGE_VERSION}.tgz)
set(SQLITE_EXPECTED_SOURCE_ID
    "2025-07-30 19:33:53 4d8adfb30e03f9cf27f800a2c1ba3c48fb4ca1b08b0f5ed59a4d5ecbf45e20a3")

set(SQLITE_DOWNLOAD_DIR ${CMAKE_BINARY_DIR}/_downloads)
set(SQLITE_TARBALL ${SQLITE_DOWNLOAD_DIR}/${SQLITE_PACKAGE}-${SQLITE_PACKAGE_VERSION}.tgz)
set(SQLITE_SOURCE_DIR ${CMAKE_BINARY_DIR}/_deps/sqlite-${SQLITE_PACKAGE_VERSION})

function(sqlite_tarball_ok result)
    set(${result} FALSE PARENT_SCOPE)
    if(EXISTS ${SQLITE_TARBALL})
        file(SHA256 ${SQLITE_TARBALL} actual)
        if(actual STREQUAL SQLITE_PACKAGE_SHA256)
            set(${result} TRUE PARENT_SCOPE)
        endif()
    endif()
endfunction()

sqlite_tarball_ok(SQLITE_CACHED)
if(NOT SQLITE_CACHED)
    message(STATUS "Fetching SQLite: ${SQLITE_PACKAGE_URL}")
    file(MAKE_DIRECTORY ${SQLITE_DOWNLOAD_DIR})
    file(DOWNLOAD ${SQLITE_PACKAGE_URL} ${SQLITE_TARBALL}.part
         STATUS status TLS_VERIFY ON INACTIVITY_TIMEOUT 60)
    list(GET status 0 code)
    if(NOT code EQUAL 0)
        file(REMOVE ${SQLITE_TARBALL}.part)
        message(FATAL_ERROR "Could not download ${SQLITE_PACKAGE_URL}: ${status}")
    endif()
    file(SHA256 ${SQLITE_TARBALL}.part actual)
    if(NOT actual STREQUAL SQLITE_PACKAGE_SHA256)
        file(REMOVE ${SQLITE_TARBALL}.part)
        message(FATAL_ERROR "${SQLITE_PACKAGE_URL} has the SHA-256 ${actual}, "
                            "expected ${SQLITE_PACKAGE_SHA256}: refusing to use it")
    endif()
    file(RENAME ${SQLITE_TARBALL}.part ${SQLITE_TARBALL})
endif()

if(NOT EXISTS ${SQLITE_SOURCE_DIR}/sqlite3.c OR NOT EXISTS ${SQLITE_SOURCE_DIR}/sqlite3.h)
    set(unpack ${CMAKE_BINARY_DIR}/_deps/sqlite-unpack)
    file(REMOVE_RECURSE ${unpack})
    file(ARCHIVE_EXTRACT INPUT ${SQLITE_TARBALL} DESTINATION ${unpack}
         PATTERNS package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h)
    file(MAKE_DIRECTORY ${SQLITE_SOURCE_DIR})
    foreach(name sqlite3.c sqlite3.h)
        file(RENAME ${unpack}/package/deps/sqlite3/${name} ${SQLITE_SOURCE_DIR}/${name})
    endforeach()
    file(REMOVE_RECURSE ${unpack})
endif()

file(STRINGS ${SQLITE_SOURCE_DIR}/sqlite3.h source_id REGEX "^#define SQLITE_SOURCE_ID")
if(NOT source_id MATCHES "\"${SQLITE_EXPECTED_SOURCE_ID}\"")
    message(FATAL_ERROR "${SQLITE_SOURCE_DIR}/sqlite3.h is not SQLite ${SQLITE_EXPECTED_SOURCE_ID}; "
                        "remove ${SQLITE_SOURCE_DIR} to unpack it again")
endif()

add_library(sqlite3 STATIC ${SQLITE_SOURCE_DIR}/sqlite3.c)
target_include_directories(sqlite3 SYSTEM PUBLIC ${SQLITE_SOURCE_DIR})
# Third-party code: built as shipped, without our warning flags.
target_compile_options(sqlite3 PRIVATE -w)
target_compile_definitions(sqlite3 PRIVATE
    SQLITE_THREADSAFE=1
    SQLITE_DEFAULT_FOREIGN_KEYS=1
    SQLITE_DEFAULT_MEMSTATUS=0
    SQLITE_DQS=0
    SQLITE_OMIT_LOAD_EXTENSION
    SQLITE_OMIT_DEPRECATED
    SQLITE_OMIT_SHARED_CACHE
    SQLITE_USE_URI=0
    SQLITE_TEMP_STORE=3)
