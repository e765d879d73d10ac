# Values chosen at build time and compiled into the program (one translation unit reads them).
set(CORVANE_COMPONENTS_SERVICE_URL "http://components.corvane.example/components.asmx"
    CACHE STRING "Default endpoint of the components service")
set(CORVANE_SERVICE_NAMESPACE "http://corvane.example/"
    CACHE STRING "Namespace URI of the components service (ends in /)")
set(CORVANE_COMPONENTS_SERVICE_TIMEOUT 30
    CACHE STRING "Seconds the components service may take to connect, accept or answer")
set(CORVANE_DEFINITIONS_SERVER_URL "http://update.corvane.example/av64bit"
    CACHE STRING "Base URL of the definitions update server")
set(CORVANE_FORMER_DOMAIN "tellmark.example"
    CACHE STRING "Former maker domain rewritten in download URLs")
set(CORVANE_CURRENT_DOMAIN "corvane.example"
    CACHE STRING "Current maker domain that replaces the former one")
