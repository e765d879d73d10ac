# shellcheck shell=bash disable=SC2034,SC2154
# pugixml: the XML reader and writer.
package=pugixml
cmake_options=(-DPUGIXML_BUILD_TESTS=OFF)
