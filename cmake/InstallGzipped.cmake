# tresk_install_gzipped(FILE DESTINATION NAME): installs FILE as
# DESTINATION/NAME, compressed as Debian wants documentation, with gzip -9n
# (no file name, no time stamp: the bytes depend on the text alone).
function(tresk_install_gzipped file destination name)
    set(gz ${CMAKE_CURRENT_BINARY_DIR}/${name})
    add_custom_command(OUTPUT ${gz}
        COMMAND gzip -9n -c ${file} > ${gz}
        DEPENDS ${file}
        COMMENT "Compressing ${name}")
    add_custom_target(gzip-${name} ALL DEPENDS ${gz})
    install(FILES ${gz} DESTINATION ${destination})
endfunction()

# tresk_man_page(PAGE.1.in): the manual page PAGE.1 with the version filled
# in, installed in section 1.
function(tresk_man_page source)
    get_filename_component(name ${source} NAME_WLE)
    configure_file(${source} ${CMAKE_CURRENT_BINARY_DIR}/${name} @ONLY)
    tresk_install_gzipped(${CMAKE_CURRENT_BINARY_DIR}/${name} ${CMAKE_INSTALL_MANDIR}/man1
        ${name}.gz)
endfunction()
