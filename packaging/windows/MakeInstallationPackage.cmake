# Packages chosen entries of a program folder as an installer package, installed into
# "Program Files\<NAME>":
#   cmake -DFOLDER=<program folder> -DENTRIES=<name>,<name>... -DNAME=<folder name>
#         -DVERSION=<a.b.c> -DUPGRADE_CODE=<guid> -DOUTPUT=<package.msi>
#         -DWIXL=<wixl> -DWIXL_HEAT=<wixl-heat> -DMSIBUILD=<msibuild>
#         [-DOSSLSIGNCODE=<osslsigncode> -DCERTIFICATE=<PEM chain> -DKEY=<PEM key>
#          [-DTIMESTAMP_URL=<RFC 3161 URL>]] -P MakeInstallationPackage.cmake
# The entries are copied beside the package first (into <package name>-files), so that whatever
# runs of the program left in the program folder stays out of it. With a certificate, the
# executables and libraries are signed before they are packaged, and the package after.
#
# The package installs for every user of the machine, and marks the installation so
# (installation.ini, scope=machine): the program then keeps each user's logs, temporary files and
# scan results in the user's own folder, and the definitions and the quarantine in
# ProgramData\Corvane\Corvane antivirus, which the package creates with permissions of its own:
# administrators and the system have full control, users may read the definitions, and the
# quarantine is the administrators' alone. The starter definitions stay beside the program, as
# the seed the first update copies there: a repair restores them, never the machine's set.
#
# Every package shares one upgrade code: installing a newer version removes the older one first
# (a major upgrade), and an older version does not install over a newer one. Removing the product
# also removes what the program made beside itself and in the machine's folder (logs, temporary
# files, scan results, updated definitions and the update's working folders); the quarantine stays
# unless REMOVEQUARANTINE=1 is given to the removal, and so does the user's own config.ini.
#
# When the entries hold the engine service (CorvaneEngineService.exe), the package registers it as
# a Windows service that starts with the system, runs as the local service account, serves the
# installation's definitions (--installation: the starter set beside the program until the first
# update, the machine's set from then on) and keeps its state (cache, Temp) in
# CorvaneEngineService under the all-users data folder; it is stopped before an upgrade or removal
# and removed with the product.
foreach(required FOLDER ENTRIES NAME VERSION UPGRADE_CODE OUTPUT WIXL WIXL_HEAT MSIBUILD)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "MakeInstallationPackage.cmake needs -D${required}=")
    endif()
endforeach()
if(DEFINED CERTIFICATE AND (NOT DEFINED KEY OR NOT DEFINED OSSLSIGNCODE))
    message(FATAL_ERROR "Signing needs -DKEY= and -DOSSLSIGNCODE= beside -DCERTIFICATE=")
endif()

function(sign file)
    if(NOT DEFINED CERTIFICATE)
        return()
    endif()
    set(timestamp)
    if(TIMESTAMP_URL)
        set(timestamp -ts ${TIMESTAMP_URL})
    endif()
    file(REMOVE ${file}.signed)
    execute_process(COMMAND ${OSSLSIGNCODE} sign -certs ${CERTIFICATE} -key ${KEY} -h sha256
            ${timestamp} -in ${file} -out ${file}.signed
        RESULT_VARIABLE result OUTPUT_QUIET)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "osslsigncode could not sign ${file}")
    endif()
    file(RENAME ${file}.signed ${file})
endfunction()

get_filename_component(work ${OUTPUT} DIRECTORY)
get_filename_component(package_name ${OUTPUT} NAME_WLE)
set(staging ${work}/${package_name}-files)
file(REMOVE_RECURSE ${staging})
file(MAKE_DIRECTORY ${staging})
string(REPLACE "," ";" entries "${ENTRIES}")
foreach(entry IN LISTS entries)
    if(NOT EXISTS "${FOLDER}/${entry}")
        message(FATAL_ERROR "${FOLDER} has no ${entry} to package")
    endif()
    file(COPY "${FOLDER}/${entry}" DESTINATION ${staging})
endforeach()
file(WRITE ${staging}/installation.ini
    "; Installed for every user of the machine by the installer package.\r\nscope=machine\r\n")
file(GLOB programs LIST_DIRECTORIES false "${staging}/*.exe" "${staging}/*.dll")
foreach(program IN LISTS programs)
    sign(${program})
endforeach()

file(GLOB_RECURSE files LIST_DIRECTORIES false "${staging}/*")
list(SORT files)
set(service_component "")
set(service_reference "")
if(EXISTS ${staging}/CorvaneEngineService.exe)
    list(REMOVE_ITEM files ${staging}/CorvaneEngineService.exe)
    # A folder property ends with a backslash, which before a closing quote would escape it in
    # the service's command line: doubled, the argument is the folder with one backslash.
    set(service_arguments "--service --installation &quot;[INSTALLFOLDER]\\&quot; --state &quot;[CommonAppDataFolder]CorvaneEngineService&quot;")
    set(service_component "          <Component Id=\"EngineService\" Guid=\"{9C41E7A2-5D3B-4E18-8F60-2B7D4A1C93E5}\" Win64=\"yes\">
            <File Id=\"EngineServiceProgram\" Name=\"CorvaneEngineService.exe\" Source=\"$(var.ProgramFolder)/CorvaneEngineService.exe\" KeyPath=\"yes\"/>
            <ServiceInstall Id=\"EngineService\" Name=\"CorvaneEngineService\" DisplayName=\"Corvane engine service\"
                            Description=\"Holds the compiled definitions and scans the files that the command line scanner hands over.\"
                            Type=\"ownProcess\" Start=\"auto\" ErrorControl=\"normal\"
                            Account=\"NT AUTHORITY\\LocalService\" Arguments=\"${service_arguments}\"/>
            <ServiceControl Id=\"EngineService\" Name=\"CorvaneEngineService\" Start=\"install\" Stop=\"both\" Remove=\"uninstall\" Wait=\"yes\"/>
          </Component>
")
    set(service_reference "      <ComponentRef Id=\"EngineService\"/>\n")
endif()
string(REPLACE ";" "\n" listing "${files}")
file(WRITE ${work}/${package_name}-files.txt "${listing}\n")
execute_process(COMMAND ${WIXL_HEAT} --prefix ${staging}/ --component-group ProgramFiles
        --var var.ProgramFolder --directory-ref INSTALLFOLDER --win64
    INPUT_FILE ${work}/${package_name}-files.txt
    OUTPUT_FILE ${work}/${package_name}-files.wxs
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "wixl-heat could not list ${staging}")
endif()
# What the program makes at run time is removed through properties that name its folders, set
# only when the product is removed for good: a removal that is part of an upgrade keeps logs,
# results and updated definitions for the new version. The quarantine's property is set only when
# REMOVEQUARANTINE is given besides.
# Each is a folder in the program folder (a portable installation's, or an older release's) and
# in the machine's folder, the second written as PRODUCTDATAFOLDER:<name>.
set(definitions_folders Plugins Plugins.new Plugins.old Plugins.staging Plugins.switch)
set(state_folders Logs Temp "Scan Results" ${definitions_folders} Quarantine)
foreach(folder IN LISTS definitions_folders ITEMS Quarantine)
    list(APPEND state_folders "PRODUCTDATAFOLDER:${folder}")
endforeach()
set(removal "REMOVE=&quot;ALL&quot; AND NOT UPGRADINGPRODUCTCODE")
set(state_actions "    <CustomAction Id=\"ChooseStateRemovalRoot\" Property=\"STATEREMOVALROOT\" Value=\"[INSTALLFOLDER]\"/>\n"
    "    <CustomAction Id=\"ChooseMachineStateRemovalRoot\" Property=\"MACHINESTATEREMOVALROOT\" Value=\"[PRODUCTDATAFOLDER]\"/>\n")
set(state_sequence "      <Custom Action=\"ChooseStateRemovalRoot\" Before=\"RemoveFiles\">${removal}</Custom>\n"
    "      <Custom Action=\"ChooseMachineStateRemovalRoot\" Before=\"RemoveFiles\">${removal}</Custom>\n")
set(index 0)
foreach(entry IN LISTS state_folders)
    set(root INSTALLFOLDER)
    set(folder ${entry})
    if(entry MATCHES "^PRODUCTDATAFOLDER:(.*)$")
        set(root PRODUCTDATAFOLDER)
        set(folder ${CMAKE_MATCH_1})
    endif()
    set(condition ${removal})
    if(folder STREQUAL "Quarantine")
        string(APPEND condition " AND REMOVEQUARANTINE")
    endif()
    string(APPEND state_actions "    <CustomAction Id=\"ChooseStateRemoval${index}\" "
        "Property=\"STATEREMOVAL${index}\" Value=\"[${root}]${folder}\\\"/>\n")
    string(APPEND state_sequence "      <Custom Action=\"ChooseStateRemoval${index}\" "
        "Before=\"RemoveFiles\">${condition}</Custom>\n")
    math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${work}/${package_name}.wxs "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">
  <Product Id=\"*\" Name=\"CorvaneCommandLineScanner\" Version=\"$(var.Version)\"
           UpgradeCode=\"$(var.UpgradeCode)\" Manufacturer=\"Corvane Software\" Language=\"1033\">
    <Package InstallerVersion=\"500\" Compressed=\"yes\" InstallScope=\"perMachine\"/>
    <MajorUpgrade DowngradeErrorMessage=\"A newer version of CorvaneCommandLineScanner is already installed.\"/>
    <Media Id=\"1\" Cabinet=\"program.cab\" EmbedCab=\"yes\"/>
${state_actions}    <InstallExecuteSequence>
${state_sequence}    </InstallExecuteSequence>
    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">
      <Directory Id=\"ProgramFiles64Folder\">
        <Directory Id=\"INSTALLFOLDER\" Name=\"$(var.FolderName)\">
          <Component Id=\"RunTimeState\" Guid=\"{4B8E2D17-9A3C-4F60-B1D5-7E2C9A04F318}\" Win64=\"yes\">
            <CreateFolder/>
          </Component>
${service_component}        </Directory>
      </Directory>
      <Directory Id=\"CommonAppDataFolder\">
        <Directory Id=\"CORVANEDATAFOLDER\" Name=\"Corvane\">
          <Directory Id=\"PRODUCTDATAFOLDER\" Name=\"Corvane antivirus\">
            <Component Id=\"MachineState\" Guid=\"{9C3F61A2-5E84-4D17-B2A9-0F6E3C8D71B5}\" Win64=\"yes\">
              <CreateFolder/>
            </Component>
            <Directory Id=\"MACHINEQUARANTINE\" Name=\"Quarantine\">
              <Component Id=\"MachineQuarantine\" Guid=\"{2E7B04D9-A6C1-4F38-9D52-B81F47E06C3A}\" Win64=\"yes\">
                <CreateFolder/>
              </Component>
            </Directory>
          </Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id=\"Main\" Level=\"1\">
      <ComponentGroupRef Id=\"ProgramFiles\"/>
      <ComponentRef Id=\"RunTimeState\"/>
      <ComponentRef Id=\"MachineState\"/>
      <ComponentRef Id=\"MachineQuarantine\"/>
${service_reference}    </Feature>
  </Product>
</Wix>
")
# wixl reads each file's source relative to the package source's folder.
file(RELATIVE_PATH relative_folder ${work} ${staging})
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${WIXL} -a x64 -D ProgramFolder=${relative_folder} -D Win64=yes
        -D "FolderName=${NAME}" -D Version=${VERSION} -D UpgradeCode=${UPGRADE_CODE}
        -o ${OUTPUT} ${work}/${package_name}.wxs ${work}/${package_name}-files.wxs
    WORKING_DIRECTORY ${work}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "wixl could not package ${staging}")
endif()

# wixl writes no RemoveFile rows: they are added to the package's tables. Each state folder loses
# its files and then itself (an empty name); Plugins.lock lies in the program folder itself.
set(columns "`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`")
set(queries
    -q "INSERT INTO `RemoveFile` (${columns}) VALUES ('UpdateLock', 'RunTimeState', 'Plugins.lock', 'STATEREMOVALROOT', 2)"
    -q "INSERT INTO `RemoveFile` (${columns}) VALUES ('MachineUpdateLock', 'MachineState', 'Plugins.lock', 'MACHINESTATEREMOVALROOT', 2)")
set(index 0)
foreach(folder IN LISTS state_folders)
    list(APPEND queries
        -q "INSERT INTO `RemoveFile` (${columns}) VALUES ('StateFiles${index}', 'RunTimeState', '*', 'STATEREMOVAL${index}', 2)"
        -q "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`) VALUES ('StateFolder${index}', 'RunTimeState', 'STATEREMOVAL${index}', 2)")
    math(EXPR index "${index} + 1")
endforeach()
execute_process(COMMAND ${MSIBUILD} ${OUTPUT} ${queries} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "msibuild could not add the removal rows to ${OUTPUT}")
endif()
# The machine's folders get their permissions from the package, not from ProgramData (which lets
# users create files): administrators and the system have full control, users may read and list
# the definitions, and nobody else may see the quarantine. wixl writes no such rows either.
set(sddl_system_and_administrators "(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)")
set(lock_columns "`MsiLockPermissionsEx`, `LockObject`, `Table`, `SDDLText`")
execute_process(COMMAND ${MSIBUILD} ${OUTPUT}
        -q "CREATE TABLE `MsiLockPermissionsEx` (`MsiLockPermissionsEx` CHAR(72) NOT NULL, `LockObject` CHAR(72) NOT NULL, `Table` CHAR(32) NOT NULL, `SDDLText` LONGCHAR NOT NULL, `Condition` CHAR(255) PRIMARY KEY `MsiLockPermissionsEx`)"
        -q "INSERT INTO `MsiLockPermissionsEx` (${lock_columns}) VALUES ('MachineStateAccess', 'PRODUCTDATAFOLDER', 'CreateFolder', 'D:PAI${sddl_system_and_administrators}(A;OICI;0x1200a9;;;BU)')"
        -q "INSERT INTO `MsiLockPermissionsEx` (${lock_columns}) VALUES ('MachineQuarantineAccess', 'MACHINEQUARANTINE', 'CreateFolder', 'D:PAI${sddl_system_and_administrators}')"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "msibuild could not add the folder permissions to ${OUTPUT}")
endif()
# A per-machine installation runs its actions in the system's service, which takes only the
# properties listed here from the command line. (Quoted whole: the value holds semicolons.)
execute_process(COMMAND ${MSIBUILD} ${OUTPUT} -q
        "UPDATE `Property` SET `Value` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;REMOVEQUARANTINE' WHERE `Property` = 'SecureCustomProperties'"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "msibuild could not list REMOVEQUARANTINE in ${OUTPUT}")
endif()
sign(${OUTPUT})
