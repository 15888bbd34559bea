# rq204_windows_resources(target description): the program's icon and version information in
# the .exe, which Explorer, the Start menu and the taskbar show.
function(rq204_windows_resources target description)
    set(RQ204_RC_NAME ${target})
    set(RQ204_RC_FILE ${target}.exe)
    set(RQ204_RC_DESCRIPTION ${description})
    set(RQ204_RC_ICON ${PROJECT_SOURCE_DIR}/window/rq204-upload.ico)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()
