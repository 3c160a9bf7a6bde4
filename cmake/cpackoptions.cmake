# SPDX-License-Identifier: MIT
# Read by cpack when it makes the package, so that the maintainer can be given then:
#   LANCHAT_MAINTAINER="Name <address>" cpack ...   (or packaging/build-deb.sh)
if(NOT "$ENV{LANCHAT_MAINTAINER}" STREQUAL "")
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "$ENV{LANCHAT_MAINTAINER}")
    set(CPACK_PACKAGE_CONTACT "$ENV{LANCHAT_MAINTAINER}")
endif()
