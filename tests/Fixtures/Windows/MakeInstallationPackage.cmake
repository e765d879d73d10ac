# Packages a whole program folder as an installer package, the way a release would ship it:
# every file under FOLDER, installed into "Program Files\<NAME>".
#   cmake -DFOLDER=<program folder> -DNAME=<folder name> -DOUTPUT=<package.msi> -DWIXL=<wixl>
#         -DWIXL_HEAT=<wixl-heat> -DUPGRADE_CODE=<guid> -P MakeInstallationPackage.cmake
get_filename_component(work ${OUTPUT} DIRECTORY)
file(GLOB_RECURSE files LIST_DIRECTORIES false "${FOLDER}/*")
list(SORT files)
string(REPLACE ";" "\n" listing "${files}")
file(WRITE ${work}/installation-files.txt "${listing}\n")
execute_process(COMMAND ${WIXL_HEAT} --prefix ${FOLDER}/ --component-group ProgramFiles
        --var var.ProgramFolder --directory-ref INSTALLFOLDER --win64
    INPUT_FILE ${work}/installation-files.txt
    OUTPUT_FILE ${work}/installation-files.wxs
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "wixl-heat could not list ${FOLDER}")
endif()
file(WRITE ${work}/installation.wxs [=[<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="CorvaneCommandLineScanner" Version="1.0.0"
           UpgradeCode="$(var.UpgradeCode)" Manufacturer="Corvane Software" Language="1033">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="program.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLFOLDER" Name="$(var.FolderName)"/>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">
      <ComponentGroupRef Id="ProgramFiles"/>
    </Feature>
  </Product>
</Wix>
]=])
# wixl reads each file's source relative to the package source's folder.
file(RELATIVE_PATH relative_folder ${work} ${FOLDER})
execute_process(COMMAND ${WIXL} -a x64 -D ProgramFolder=${relative_folder} -D Win64=yes
        -D FolderName=${NAME} -D UpgradeCode=${UPGRADE_CODE} -o ${OUTPUT}
        ${work}/installation.wxs ${work}/installation-files.wxs
    WORKING_DIRECTORY ${work}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "wixl could not package ${FOLDER}")
endif()
