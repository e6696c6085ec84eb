# Writes sw.js from its template: @CACHE_VERSION@ becomes a hash of the files
# the service worker caches, so a new build gets a new cache and the old one
# is dropped.  cmake -DTEMPLATE=... -DOUTPUT=... -DFILES=a;b;c -P stamp.cmake
set(hashes "")
foreach(file IN LISTS FILES)
  file(SHA256 ${file} h)
  string(APPEND hashes ${h})
endforeach()
string(SHA256 all "${hashes}")
string(SUBSTRING ${all} 0 16 CACHE_VERSION)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
