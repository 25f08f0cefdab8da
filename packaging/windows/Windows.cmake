# The native Windows program, quorvel.exe: plain Win32 and the shared core,
# one static file with its icon, manifest and version inside, and the zip a
# user downloads.

find_program(QUORVEL_RSVG rsvg-convert)
find_program(QUORVEL_ICOTOOL icotool)
if(NOT QUORVEL_RSVG OR NOT QUORVEL_ICOTOOL)
    message(FATAL_ERROR "The icon needs rsvg-convert (Debian package librsvg2-bin) and icotool (icoutils).")
endif()

# The icon in the sizes Windows asks for at 100 % to 300 % scaling.
set(ico ${CMAKE_CURRENT_BINARY_DIR}/quorvel.ico)
set(svg ${PROJECT_SOURCE_DIR}/packaging/io.github.quorvel.Quorvel.svg)
set(pngs)
set(png_commands)
foreach(size 16 20 24 32 40 48 64 256)
    set(png ${CMAKE_CURRENT_BINARY_DIR}/icon/${size}.png)
    list(APPEND pngs ${png})
    list(APPEND png_commands COMMAND ${QUORVEL_RSVG} -w ${size} -h ${size} -o ${png} ${svg})
endforeach()
add_custom_command(OUTPUT ${ico}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icon
    ${png_commands}
    # The large size stays PNG inside the icon, as Windows expects it.
    COMMAND ${QUORVEL_ICOTOOL} -c -o ${ico} -r ${CMAKE_CURRENT_BINARY_DIR}/icon/256.png
            ${CMAKE_CURRENT_BINARY_DIR}/icon/16.png ${CMAKE_CURRENT_BINARY_DIR}/icon/20.png
            ${CMAKE_CURRENT_BINARY_DIR}/icon/24.png ${CMAKE_CURRENT_BINARY_DIR}/icon/32.png
            ${CMAKE_CURRENT_BINARY_DIR}/icon/40.png ${CMAKE_CURRENT_BINARY_DIR}/icon/48.png
            ${CMAKE_CURRENT_BINARY_DIR}/icon/64.png
    DEPENDS ${svg}
    COMMENT "Making quorvel.ico from the SVG"
    VERBATIM)

set(QUORVEL_ICO ${ico})
set(QUORVEL_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/quorvel.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvel.manifest.in ${QUORVEL_MANIFEST} @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quorvel.rc.in ${CMAKE_CURRENT_BINARY_DIR}/quorvel.rc @ONLY)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/quorvel.rc PROPERTIES OBJECT_DEPENDS "${ico};${QUORVEL_MANIFEST}")

add_executable(quorvel WIN32 main_win.cpp ${CMAKE_CURRENT_BINARY_DIR}/quorvel.rc)
target_link_libraries(quorvel PRIVATE quorvel_window quorvel_platform quorvel_warnings)
# Stripped: the download carries no debugging symbols.
if(MINGW)
    target_link_options(quorvel PRIVATE -s)
endif()

# The download: the program, its licence and a short read-me in each language.
set(zip ${CMAKE_CURRENT_BINARY_DIR}/quorvel-${PROJECT_VERSION}-windows-x64.zip)
set(stage ${CMAKE_CURRENT_BINARY_DIR}/zip)
add_custom_command(OUTPUT ${zip}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:quorvel> ${stage}/quorvel.exe
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/LICENSE ${stage}/LICENSE.txt
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/README-ja.txt ${stage}/README-ja.txt
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/README-en.txt ${stage}/README-en.txt
    COMMAND ${CMAKE_COMMAND} -E rm -f ${zip}
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage} ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip
            quorvel.exe LICENSE.txt README-ja.txt README-en.txt
    DEPENDS quorvel ${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_LIST_DIR}/README-ja.txt
            ${CMAKE_CURRENT_LIST_DIR}/README-en.txt
    COMMENT "Packing quorvel-${PROJECT_VERSION}-windows-x64.zip"
    VERBATIM)
add_custom_target(quorvel_zip ALL DEPENDS ${zip})

# The test program that drives quorvel.exe under Wine (see tests/windows).
option(QUORVEL_WIN_TESTS "Build the Windows test program too" OFF)
if(QUORVEL_WIN_TESTS)
    add_subdirectory(tests/windows)
endif()
