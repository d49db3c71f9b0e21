# What `cmake --install` puts in the Windows folder beside harnelo.exe: the Qt
# libraries and plugins it loads and the compiler's runtime, so the folder
# runs on a machine with nothing else installed. Included on Windows only.

install(FILES
    $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui>
    $<TARGET_FILE:Qt6::Widgets> $<TARGET_FILE:Qt6::SerialPort>
    DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
# The window icon is an .ico resource.
install(FILES $<TARGET_FILE:Qt6::QICOPlugin> DESTINATION imageformats)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)

if(MINGW)
    foreach(runtime libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                        OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${runtime_path}" OR NOT EXISTS "${runtime_path}")
            message(FATAL_ERROR "The compiler does not know where ${runtime} is")
        endif()
        install(FILES ${runtime_path} DESTINATION .)
    endforeach()
endif()
