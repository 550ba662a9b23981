#!/usr/bin/env bash
# Fails when the internal library references a function that can touch the
# file system (or the random source) and is not in the fault tests' list of
# wrapped calls: such a call would escape fault injection unnoticed.
# Usage: check_wrapped.sh NM LIBRARY_ARCHIVE WRAPPED_LIST
set -euo pipefail
nm_bin=$1 lib=$2 list=$3
wrapped=" $(tr '\n' ' ' < "$list") "
# Functions that never touch files: memory, strings, formatting, time,
# process identity and fork handlers, errno, locks, hashing, and the JSON
# library.
safe='^(unsafe_yyjson_.*|malloc|calloc|realloc|free|strdup|strndup|mem(cpy|move|set|cmp|chr)|str(len|nlen|cmp|ncmp|chr|rchr|str|casecmp|ncasecmp|error|error_r|spn|cspn|tol|toul|toll|toull)|v?s?n?printf|__v?snprintf_chk|__v?sprintf_chk|__memcpy_chk|__memset_chk|__strcpy_chk|__strcat_chk|time|nanosleep|SHA256(Init|Update|End)|gmtime_r|gmtime|strftime|localtime_r|clock_gettime|getpid|__errno_location|__stack_chk_fail|__assert_fail|abort|isalnum|isalpha|isdigit|tolower|toupper|__ctype_b_loc|__ctype_tolower_loc|yyjson_.*|_GLOBAL_OFFSET_TABLE_|s_.*|_Z.*|__cxa_.*|__gxx_personality_v0|_Unwind_Resume|__asan_.*|__ubsan_.*|__sanitizer_.*|__gcov_.*|__llvm_.*|__sancov_.*|__tls_get_addr|dirfd|qsort|bsearch|pthread_mutex_lock|pthread_mutex_unlock|pthread_atfork|__dso_handle)$'
bad=()
for sym in $("$nm_bin" -u "$lib" | awk 'NF>=2 && $1=="U" {print $2} NF==1 {print $1}' | sed 's/@.*//' | sort -u); do
  [[ "$sym" == *:* ]] && continue
  if [[ "$wrapped" == *" $sym "* ]]; then continue; fi
  if [[ "$sym" =~ $safe ]]; then continue; fi
  bad+=("$sym")
done
if [ "${#bad[@]}" -gt 0 ]; then
  echo "not wrapped by the fault tests (add to wrapped_calls.txt and io_shim.cpp, or to the safe list): ${bad[*]}"
  exit 1
fi
echo "every file-system call of the library is wrapped"
