# Makes velmora-win32.zip, everything a person needs to be helped: velmora.exe, the two programs it
# starts (winvnc4.exe, websockify.exe), an example velmora.conf, LEEME.txt and the licences. Beside
# it goes SOURCE_ARCHIVE, the complete source of winvnc4.exe that its licence (GPL) asks for. The
# text files get Windows line ends, and LEEME.txt a byte-order mark so that Notepad shows its
# accents right.
#   cmake -DPROGRAM=velmora.exe -DWINVNC4=winvnc4.exe -DWEBSOCKIFY=websockify.exe
#         -DWINVNC4_DIR=dir -DSOURCE_DIR=app/win32 -DSTAGING_DIR=dir -DOUTPUT=zip
#         -DSOURCE_ARCHIVE=tar -P package.cmake
# WINVNC4_DIR is the folder of scripts/win32-tigervnc.sh's build: licences/ and source/.
foreach(variable PROGRAM WINVNC4 WEBSOCKIFY WINVNC4_DIR SOURCE_DIR STAGING_DIR OUTPUT SOURCE_ARCHIVE)
    if(NOT ${variable})
        message(FATAL_ERROR "package.cmake: ${variable} is not set")
    endif()
endforeach()

file(REMOVE_RECURSE ${STAGING_DIR})
file(MAKE_DIRECTORY ${STAGING_DIR}/licencias)
file(COPY ${PROGRAM} ${WINVNC4} DESTINATION ${STAGING_DIR})
# The proxy under the name that the agent starts.
configure_file(${WEBSOCKIFY} ${STAGING_DIR}/websockify.exe COPYONLY)

function(windows_text from to prefix)
    file(READ ${from} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${STAGING_DIR}/${to} "${prefix}${text}")
endfunction()
string(ASCII 239 187 191 bom)
windows_text(${SOURCE_DIR}/velmora.conf velmora.conf "")
windows_text(${SOURCE_DIR}/LEEME.txt LEEME.txt "${bom}")

# TigerVNC's and its libraries' from its build; Qt's are the GNU texts it is licensed under.
file(GLOB winvnc4_licences ${WINVNC4_DIR}/licences/*)
foreach(licence ${winvnc4_licences})
    get_filename_component(name ${licence} NAME_WE)
    windows_text(${licence} licencias/${name}.txt "")
endforeach()
foreach(text LGPL-3 GPL-3 GPL-2)
    windows_text(/usr/share/common-licenses/${text} licencias/Qt-${text}.txt "")
endforeach()

file(REMOVE ${OUTPUT})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip
                        velmora.exe winvnc4.exe websockify.exe velmora.conf LEEME.txt licencias
                WORKING_DIRECTORY ${STAGING_DIR} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "package.cmake: zip failed (${result})")
endif()

get_filename_component(source_name ${SOURCE_ARCHIVE} NAME_WE)
file(REMOVE_RECURSE ${STAGING_DIR}-source)
file(COPY ${WINVNC4_DIR}/source/ DESTINATION ${STAGING_DIR}-source/${source_name})
file(REMOVE ${SOURCE_ARCHIVE})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${SOURCE_ARCHIVE} ${source_name}
                WORKING_DIRECTORY ${STAGING_DIR}-source RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "package.cmake: source archive failed (${result})")
endif()
