# tresk_man_page(PAGE.1.in): the manual page PAGE.1, with the version and the
# installed data folder filled in, compressed with gzip -9n (the bytes depend
# on the text alone: no name, no time stamp) and installed in section 1.
function(tresk_man_page source)
    get_filename_component(name ${source} NAME_WLE)
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${name})
    configure_file(${source} ${page} @ONLY)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND gzip -9n -c ${page} > ${page}.gz
        DEPENDS ${page}
        COMMENT "Compressing the manual page ${name}")
    add_custom_target(man-${name} ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
