# Runs quorvel_win_tests.exe under Wine for CTest:
#   cmake -DMINGW_CXX=... -DICONV=... -DWINE=... -DWINESERVER=... -DTEST_EXE=...
#         -DFIXTURES=... -DPREFIX=... -DSCRATCH=... -P run_under_wine.cmake
#
# Every missing tool fails the test and names the Debian package that brings
# it. The test passes only when the program ran, printed its totals and
# exited with a code that agrees with them.
cmake_minimum_required(VERSION 3.25)

function(missing what package)
    message(FATAL_ERROR
        "${what} is missing: install the Debian package ${package} "
        "(scripts/install-deps installs it), then configure the build again.")
endfunction()

if(NOT MINGW_CXX OR MINGW_CXX MATCHES "NOTFOUND$")
    missing("The mingw-w64 cross compiler x86_64-w64-mingw32-g++-posix" g++-mingw-w64-x86-64-posix)
endif()
if(NOT ICONV OR ICONV MATCHES "NOTFOUND$")
    missing("iconv, which encodes the expected CP932 bytes," libc-bin)
endif()
if(NOT WINE OR WINE MATCHES "NOTFOUND$" OR NOT EXISTS "${WINE}")
    missing("Wine's 64-bit loader /usr/lib/wine/wine64" wine64)
endif()
if(NOT WINESERVER OR WINESERVER MATCHES "NOTFOUND$" OR NOT EXISTS "${WINESERVER}")
    missing("Wine's server /usr/lib/wine/wineserver" wine64)
endif()
if(NOT EXISTS "${TEST_EXE}")
    message(FATAL_ERROR "${TEST_EXE} has not been built: build the target quorvel_win_tests first.")
endif()

execute_process(COMMAND locale -a OUTPUT_VARIABLE locales RESULT_VARIABLE locale_rc)
string(TOLOWER "${locales}" locales)
if(NOT locale_rc EQUAL 0 OR NOT locales MATCHES "(^|\n)ja_jp\\.utf-?8(\n|$)")
    message(FATAL_ERROR
        "The ja_JP.UTF-8 locale is missing, and without it Wine's ANSI code page is not 932: "
        "install the Debian package locales and generate ja_JP.UTF-8 (scripts/install-deps does both).")
endif()

# Wine's code page follows the C locale of its environment: nothing may
# override LANG.
foreach(variable LC_ALL LC_CTYPE LC_MESSAGES LC_COLLATE LC_NUMERIC LC_TIME LC_MONETARY LANGUAGE)
    unset(ENV{${variable}})
endforeach()
set(ENV{LANG} ja_JP.UTF-8)
set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} -all)
# No Mono or Gecko: nothing here needs them, and installing them would ask.
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")
# The tests use Wine's own clipboard, never the desktop's: with no display
# Wine cannot reach the X server, and the prefix is set to the null driver.
unset(ENV{DISPLAY})
unset(ENV{WAYLAND_DISPLAY})

function(stop_wine)
    execute_process(COMMAND "${WINESERVER}" -k TIMEOUT 30 OUTPUT_QUIET ERROR_QUIET)
endfunction()

function(wait_for_wineserver)
    execute_process(COMMAND "${WINESERVER}" -w TIMEOUT 120 RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
        stop_wine()
    endif()
endfunction()

# One prefix per build tree, made once. The lock keeps two test runs from
# making it at the same time; the stamp marks a prefix that is complete.
set(ready "${PREFIX}/.quorvel-prefix-ready")
file(LOCK "${PREFIX}.lock" GUARD PROCESS TIMEOUT 600 RESULT_VARIABLE lock_result)
if(NOT lock_result EQUAL 0)
    message(FATAL_ERROR "Cannot lock ${PREFIX}.lock: ${lock_result}")
endif()
if(NOT EXISTS "${ready}")
    message(STATUS "Creating the Wine prefix ${PREFIX}")
    stop_wine()
    file(REMOVE_RECURSE "${PREFIX}")
    execute_process(COMMAND "${WINE}" wineboot --init
        TIMEOUT 300 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        stop_wine()
        message(FATAL_ERROR "wineboot --init failed (${rc}):\n${out}\n${err}")
    endif()
    wait_for_wineserver()
    execute_process(COMMAND "${WINE}" reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f
        TIMEOUT 120 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        stop_wine()
        message(FATAL_ERROR "Cannot select Wine's null display driver (${rc}):\n${out}\n${err}")
    endif()
    # The server writes the registry out when it ends.
    wait_for_wineserver()
    file(TOUCH "${ready}")
endif()

file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}")
execute_process(
    COMMAND "${WINE}" "${TEST_EXE}" --fixtures "Z:${FIXTURES}"
    WORKING_DIRECTORY "${SCRATCH}"
    TIMEOUT 400
    RESULT_VARIABLE rc
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err
    ECHO_OUTPUT_VARIABLE ECHO_ERROR_VARIABLE)
if(NOT rc MATCHES "^[0-9]+$")
    stop_wine()
else()
    wait_for_wineserver()
endif()
file(LOCK "${PREFIX}.lock" RELEASE)

if(NOT out MATCHES "(^|\n)([0-9]+) passed, ([0-9]+) failed\r?\n?$")
    message(FATAL_ERROR "quorvel_win_tests.exe ended (${rc}) without printing its totals.")
endif()
set(passed ${CMAKE_MATCH_2})
set(failed ${CMAKE_MATCH_3})
if(passed EQUAL 0)
    message(FATAL_ERROR "quorvel_win_tests.exe ran no test.")
endif()
if(failed EQUAL 0 AND NOT rc EQUAL 0)
    message(FATAL_ERROR "quorvel_win_tests.exe reported no failure but exited with ${rc}.")
endif()
if(NOT failed EQUAL 0)
    message(FATAL_ERROR "quorvel_win_tests.exe: ${failed} of its tests failed (exit code ${rc}).")
endif()
