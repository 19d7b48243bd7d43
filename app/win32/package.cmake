# Makes velmora-win32.zip: velmora.exe, websockify.exe, an example velmora.conf and LEEME.txt.
# The text files get Windows line ends, and LEEME.txt a byte-order mark so that Notepad shows its
# accents right.
#   cmake -DPROGRAM=velmora.exe -DPROXY=websockify.exe -DSOURCE_DIR=app/win32 -DSTAGING_DIR=dir
#         -DOUTPUT=zip -P package.cmake
foreach(variable PROGRAM PROXY SOURCE_DIR STAGING_DIR OUTPUT)
    if(NOT ${variable})
        message(FATAL_ERROR "package.cmake: ${variable} is not set")
    endif()
endforeach()

file(REMOVE_RECURSE ${STAGING_DIR})
file(MAKE_DIRECTORY ${STAGING_DIR})
file(COPY ${PROGRAM} ${PROXY} DESTINATION ${STAGING_DIR})

function(windows_text name prefix)
    file(READ ${SOURCE_DIR}/${name} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${STAGING_DIR}/${name} "${prefix}${text}")
endfunction()
string(ASCII 239 187 191 bom)
windows_text(velmora.conf "")
windows_text(LEEME.txt "${bom}")

file(REMOVE ${OUTPUT})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip
                        velmora.exe websockify.exe velmora.conf LEEME.txt
                WORKING_DIRECTORY ${STAGING_DIR} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "package.cmake: zip failed (${result})")
endif()
