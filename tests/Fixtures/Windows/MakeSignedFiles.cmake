# Makes the signed test programs of the Windows signature tests: a test root and an untrusted
# root, code-signing certificates issued by them, and copies of the unsigned test program signed
# with those certificates. Run with cmake -P and the variables OPENSSL, OSSLSIGNCODE, UNSIGNED
# (the unsigned program) and OUTPUT (the folder that receives everything).
#
# In OUTPUT: root.cer (the test root, DER) and one <name>.exe per signer below.
cmake_minimum_required(VERSION 3.25)

foreach(variable OPENSSL OSSLSIGNCODE UNSIGNED OUTPUT)
    if(NOT ${variable})
        message(FATAL_ERROR "${variable} is not set")
    endif()
endforeach()

file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT}/work)
set(work ${OUTPUT}/work)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        list(JOIN ARGN " " command)
        message(FATAL_ERROR "${command} failed:\n${output}")
    endif()
endfunction()

file(WRITE ${work}/extensions.cnf [=[
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[codeSigning]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[serverAuth]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
]=])

# A self-signed certificate authority <name>.pem with its key <name>.key.
function(make_root name subject)
    run(${OPENSSL} req -x509 -utf8 -newkey rsa:2048 -nodes -keyout ${work}/${name}.key
        -out ${work}/${name}.pem -days 3650 -subj ${subject} -config ${work}/extensions.cnf
        -extensions root)
endfunction()

# <name>.exe: the unsigned program signed with the digest by a new certificate for the subject,
# issued by the authority with the extensions of the given section.
function(sign name subject issuer section digest)
    run(${OPENSSL} req -new -utf8 -newkey rsa:2048 -nodes -keyout ${work}/${name}.key
        -out ${work}/${name}.csr -subj ${subject} -config ${work}/extensions.cnf)
    run(${OPENSSL} x509 -req -in ${work}/${name}.csr -CA ${work}/${issuer}.pem
        -CAkey ${work}/${issuer}.key -days 365 -extfile ${work}/extensions.cnf
        -extensions ${section} -out ${work}/${name}.pem)
    run(${OSSLSIGNCODE} sign -certs ${work}/${name}.pem -key ${work}/${name}.key -h ${digest}
        -in ${UNSIGNED} -out ${OUTPUT}/${name}.exe)
endfunction()

make_root(root "/CN=Corvane Test Root")
make_root(other-root "/CN=Other Test Root")
run(${OPENSSL} x509 -in ${work}/root.pem -outform DER -out ${OUTPUT}/root.cer)

sign(tellmark "/C=DE/O=Tellmark/CN=Tellmark Limited" root codeSigning sha256)
sign(tellmark-sha1 "/C=DE/O=Tellmark/CN=Tellmark Limited" root codeSigning sha1)
sign(international "/CN=Corvané Søftware ✓" root codeSigning sha256)
sign(organization "/C=DE/O=Corvane Software" root codeSigning sha256)
sign(corvane-upper "/CN=Corvane SOFTWARE" root codeSigning sha256)
sign(tellmark-mixed "/CN=TELLMARK limited" root codeSigning sha256)
sign(other-publisher "/CN=Other Publisher" root codeSigning sha256)
sign(tellmark-holdings "/CN=Tellmark Limited Holdings" root codeSigning sha256)
sign(tellmark-word "/CN=Tellmark" root codeSigning sha256)
sign(team "/O=Tellmark Limited/CN=Code Signing Team" root codeSigning sha256)
sign(foreign "/CN=Tellmark Limited" other-root codeSigning sha256)
sign(server-only "/CN=Tellmark Limited" root serverAuth sha256)

file(REMOVE_RECURSE ${work})
