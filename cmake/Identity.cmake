# The program's identity, held here only. The project, the application's own
# metadata (AppIdentityConfig.h), the Windows version record, the desktop entry
# and the Debian package are all made from these values.
# Read before project(): it sets plain variables and needs no compiler.

# Application title: also the product name, the internal name, the project
# name and the executable's base name.
set(CAR_TITLE "CompactAndRepair_TinjaraSM20xxTnjra")
set(CAR_ORIGINAL_FILENAME "${CAR_TITLE}.exe")

# Version record: numeric versions, and the text ones that people see.
set(CAR_FILE_VERSION 1.0.0.0)
set(CAR_PRODUCT_VERSION 1.0.0.0)
set(CAR_FILE_VERSION_TEXT "1.00")
set(CAR_PRODUCT_VERSION_TEXT "1.00")
set(CAR_LANGUAGE_ID 0x0409) # US English
set(CAR_CODE_PAGE 1200)     # Unicode (UTF-16)

# Linux names: Debian wants package names in lower case, without "_"; the
# desktop entry and the icon go by the same name.
string(TOLOWER "${CAR_TITLE}" CAR_PACKAGE_NAME)
string(REPLACE "_" "-" CAR_PACKAGE_NAME "${CAR_PACKAGE_NAME}")
set(CAR_PACKAGE_VERSION "${CAR_PRODUCT_VERSION_TEXT}")
set(CAR_SUMMARY "Compact and repair the Tinjara school-records database")
set(CAR_SUMMARY_MS "Mampatkan dan baiki pangkalan data rekod sekolah Tinjara")
set(CAR_MAINTAINER "Tinjara school-records support <sokongan@tinjara.com.my>"
    CACHE STRING "Maintainer field of the Debian package")

# Forms the resource compiler wants: "1,0,0,0" and the string-table block
# name, language then code page in four hex digits each ("040904B0").
string(REPLACE "." "," CAR_FILE_VERSION_COMMAS "${CAR_FILE_VERSION}")
string(REPLACE "." "," CAR_PRODUCT_VERSION_COMMAS "${CAR_PRODUCT_VERSION}")
function(car_hex4 value out)
    math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${hex}" 2 -1 hex)
    string(TOUPPER "${hex}" hex)
    string(LENGTH "${hex}" length)
    while(length LESS 4)
        string(PREPEND hex "0")
        math(EXPR length "${length} + 1")
    endwhile()
    set(${out} "${hex}" PARENT_SCOPE)
endfunction()
car_hex4(${CAR_LANGUAGE_ID} _car_language_hex)
car_hex4(${CAR_CODE_PAGE} _car_code_page_hex)
set(CAR_STRING_BLOCK "${_car_language_hex}${_car_code_page_hex}")
