# Package stage: build/windows-kernel/package/ holds what a Windows user installs - the signed
# kvsbda.sys, kvsbda.inf, the signed catalog kvsbda.cat - plus the test certificate the package
# was signed with and a short install text.
#
# Signing: by default with a test code-signing certificate made for this build tree (its key
# stays in test-signing/, outside the package). A release certificate replaces it:
#   -DKVSBDA_SIGN_PFX=cert.pfx [-DKVSBDA_SIGN_PASSWORD_FILE=file]      (PKCS#12 file)
#   -DKVSBDA_SIGN_PKCS11_MODULE=module.so -DKVSBDA_SIGN_PKCS11_KEY=<key id or URI>
#       -DKVSBDA_SIGN_CERTS=chain.pem                                   (key on a PKCS#11 token)
#   -DKVSBDA_TIMESTAMP_URL=http://...   (RFC 3161 time stamp on both signatures)
#   -DKVSBDA_SIGN_CAFILE=root.pem       (the root the package checks verify against)
set(KVSBDA_SIGN_PFX "" CACHE FILEPATH "Release code-signing certificate and key (PKCS#12)")
set(KVSBDA_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 password")
set(KVSBDA_SIGN_PKCS11_MODULE "" CACHE FILEPATH "PKCS#11 module of the release signing token")
set(KVSBDA_SIGN_PKCS11_KEY "" CACHE STRING "Key id or PKCS#11 URI of the release signing key")
set(KVSBDA_SIGN_CERTS "" CACHE FILEPATH "Release certificate chain (PEM) for the PKCS#11 key")
set(KVSBDA_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server")
set(KVSBDA_SIGN_CAFILE "" CACHE FILEPATH "Root certificate (PEM) the release signature chains to")

find_program(KVSBDA_OSSLSIGNCODE osslsigncode REQUIRED)
find_program(KVSBDA_OPENSSL openssl REQUIRED)
# The catalog is written with asn1crypto. Debian's python3-asn1crypto belongs to Debian's
# interpreter, which need not be the first python3 on the PATH.
if(NOT KVSBDA_PACKAGE_PYTHON)
  foreach(candidate /usr/bin/python3 python3)
    execute_process(COMMAND ${candidate} -c "import asn1crypto"
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(status EQUAL 0)
      set(KVSBDA_PACKAGE_PYTHON ${candidate} CACHE STRING "Python 3 with asn1crypto")
      break()
    endif()
  endforeach()
  if(NOT KVSBDA_PACKAGE_PYTHON)
    message(FATAL_ERROR "no Python 3 with asn1crypto (scripts/setup.sh installs python3-asn1crypto)")
  endif()
endif()

set(KVSBDA_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
set(KVSBDA_PACKAGE_SCRIPTS ${CMAKE_CURRENT_LIST_DIR})
set(KVSBDA_PACKAGE_SYS ${KVSBDA_PACKAGE_DIR}/kvsbda.sys)
set(KVSBDA_PACKAGE_INF ${KVSBDA_PACKAGE_DIR}/kvsbda.inf)
set(KVSBDA_PACKAGE_CAT ${KVSBDA_PACKAGE_DIR}/kvsbda.cat)
set(KVSBDA_PACKAGE_CER ${KVSBDA_PACKAGE_DIR}/kvsbda-test.cer)
# The image allocates NonPagedPoolNx (checked in the image by test_pe), which Windows has from
# Windows 8 (6.2) on; the INF must not offer the driver to anything older.
set(KVSBDA_MIN_WINDOWS 6.2)
# The bridge's boot loader identity: the stick shows it until the driver downloads the firmware.
set(KVSBDA_BOOT_LOADER_ID 3344:1111)

set(sign_args -h sha256)
set(sign_depends)
set(package_outputs ${KVSBDA_PACKAGE_SYS} ${KVSBDA_PACKAGE_INF} ${KVSBDA_PACKAGE_CAT}
                    ${KVSBDA_PACKAGE_DIR}/INSTALL.txt)
if(KVSBDA_SIGN_PFX)
  list(APPEND sign_args -pkcs12 ${KVSBDA_SIGN_PFX})
  if(KVSBDA_SIGN_PASSWORD_FILE)
    list(APPEND sign_args -readpass ${KVSBDA_SIGN_PASSWORD_FILE})
  endif()
  set(KVSBDA_PACKAGE_CAFILE ${KVSBDA_SIGN_CAFILE})
elseif(KVSBDA_SIGN_PKCS11_MODULE)
  if(NOT KVSBDA_SIGN_PKCS11_KEY OR NOT KVSBDA_SIGN_CERTS)
    message(FATAL_ERROR "PKCS#11 signing needs KVSBDA_SIGN_PKCS11_KEY and KVSBDA_SIGN_CERTS")
  endif()
  list(APPEND sign_args -pkcs11module ${KVSBDA_SIGN_PKCS11_MODULE}
       -key ${KVSBDA_SIGN_PKCS11_KEY} -certs ${KVSBDA_SIGN_CERTS})
  set(KVSBDA_PACKAGE_CAFILE ${KVSBDA_SIGN_CAFILE})
else()
  set(test_key ${CMAKE_BINARY_DIR}/test-signing/kvsbda-test.key)
  set(test_cert ${CMAKE_BINARY_DIR}/test-signing/kvsbda-test.cer)
  add_custom_command(
    OUTPUT ${test_key} ${test_cert}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/test-signing
    COMMAND sh ${KVSBDA_PACKAGE_SCRIPTS}/make_test_certificate.sh ${KVSBDA_OPENSSL}
            ${test_key} ${test_cert}
    DEPENDS ${KVSBDA_PACKAGE_SCRIPTS}/make_test_certificate.sh
    COMMENT "Test code-signing certificate"
    VERBATIM)
  add_custom_command(
    OUTPUT ${KVSBDA_PACKAGE_CER}
    COMMAND ${CMAKE_COMMAND} -E copy ${test_cert} ${KVSBDA_PACKAGE_CER}
    DEPENDS ${test_cert}
    VERBATIM)
  list(APPEND sign_args -certs ${test_cert} -key ${test_key})
  list(APPEND sign_depends ${test_key} ${test_cert})
  list(APPEND package_outputs ${KVSBDA_PACKAGE_CER})
  set(KVSBDA_PACKAGE_CAFILE ${KVSBDA_PACKAGE_CER})
endif()
if(KVSBDA_TIMESTAMP_URL)
  list(APPEND sign_args -ts ${KVSBDA_TIMESTAMP_URL})
endif()

# The signed image. osslsigncode appends the signature and rewrites the image checksum.
add_custom_command(
  OUTPUT ${KVSBDA_PACKAGE_SYS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KVSBDA_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${KVSBDA_PACKAGE_SYS}
  COMMAND ${KVSBDA_OSSLSIGNCODE} sign ${sign_args} -n kvsbda
          -in $<TARGET_FILE:kvsbda> -out ${KVSBDA_PACKAGE_SYS}
  DEPENDS kvsbda ${sign_depends}
  COMMENT "Signing kvsbda.sys"
  VERBATIM)

# The INF, dated by this build; the copy next to kvsbda.sys is the same file.
add_custom_command(
  OUTPUT ${KVSBDA_PACKAGE_INF} ${CMAKE_BINARY_DIR}/kvsbda.inf
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KVSBDA_PACKAGE_DIR}
  COMMAND ${KVSBDA_PACKAGE_PYTHON} -B ${KVSBDA_PACKAGE_SCRIPTS}/make_inf.py
          ${PROJECT_SOURCE_DIR}/windows/kvsbda.inf.in ${KVSBDA_PACKAGE_INF} ${PROJECT_VERSION}
  COMMAND ${CMAKE_COMMAND} -E copy ${KVSBDA_PACKAGE_INF} ${CMAKE_BINARY_DIR}/kvsbda.inf
  DEPENDS kvsbda ${PROJECT_SOURCE_DIR}/windows/kvsbda.inf.in ${KVSBDA_PACKAGE_SCRIPTS}/make_inf.py
  COMMENT "kvsbda.inf ${PROJECT_VERSION}"
  VERBATIM)

set(catalog_scripts make_catalog.py catalog_asn1.py inf_reader.py pe_hash.py)
list(TRANSFORM catalog_scripts PREPEND ${KVSBDA_PACKAGE_SCRIPTS}/)
add_custom_command(
  OUTPUT ${KVSBDA_PACKAGE_CAT}
  COMMAND ${KVSBDA_PACKAGE_PYTHON} -B ${KVSBDA_PACKAGE_SCRIPTS}/make_catalog.py
          --output ${CMAKE_BINARY_DIR}/kvsbda.cat.unsigned ${KVSBDA_PACKAGE_SYS} ${KVSBDA_PACKAGE_INF}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${KVSBDA_PACKAGE_CAT}
  COMMAND ${KVSBDA_OSSLSIGNCODE} sign ${sign_args} -n kvsbda
          -in ${CMAKE_BINARY_DIR}/kvsbda.cat.unsigned -out ${KVSBDA_PACKAGE_CAT}
  DEPENDS ${KVSBDA_PACKAGE_SYS} ${KVSBDA_PACKAGE_INF} ${sign_depends} ${catalog_scripts}
  COMMENT "Catalog kvsbda.cat"
  VERBATIM)

add_custom_command(
  OUTPUT ${KVSBDA_PACKAGE_DIR}/INSTALL.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${KVSBDA_PACKAGE_SCRIPTS}/INSTALL.txt ${KVSBDA_PACKAGE_DIR}/INSTALL.txt
  DEPENDS ${KVSBDA_PACKAGE_SCRIPTS}/INSTALL.txt
  VERBATIM)

add_custom_target(kvsbda_package ALL DEPENDS ${package_outputs})

# ---- Checks of the package (ctest --preset windows-kernel) ----
set(package_tests ${PROJECT_SOURCE_DIR}/tests/package)
set(inf_check_args
  --classification ${PROJECT_SOURCE_DIR}/usb/device_classification.h
  --boot-id ${KVSBDA_BOOT_LOADER_ID} --min-os ${KVSBDA_MIN_WINDOWS}
  --version ${PROJECT_VERSION} --catalog kvsbda.cat)
add_test(NAME package_inf
  COMMAND ${KVSBDA_PACKAGE_PYTHON} -B ${KVSBDA_PACKAGE_SCRIPTS}/check_inf.py ${KVSBDA_PACKAGE_INF}
          ${inf_check_args})
add_test(NAME package_inf_check_refuses_broken_copies
  COMMAND ${KVSBDA_PACKAGE_PYTHON} -B ${package_tests}/inf_check_test.py ${KVSBDA_PACKAGE_INF}
          ${inf_check_args})
set_tests_properties(package_inf_check_refuses_broken_copies PROPERTIES
  ENVIRONMENT "PYTHONPATH=${KVSBDA_PACKAGE_SCRIPTS}")
add_test(NAME package_signatures
  COMMAND sh ${package_tests}/verify_package.sh ${KVSBDA_OSSLSIGNCODE} ${KVSBDA_PACKAGE_PYTHON}
          ${KVSBDA_PACKAGE_SCRIPTS} ${KVSBDA_PACKAGE_DIR} "${KVSBDA_PACKAGE_CAFILE}"
          ${PROJECT_VERSION} ${CMAKE_BINARY_DIR}/package-checks)
set_tests_properties(package_signatures PROPERTIES SKIP_RETURN_CODE 77)
