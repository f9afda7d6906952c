#!/usr/bin/env bash
# Mutation check of the tests: applies deliberate one-line faults, one at a
# time, to a scratch copy of the tree, rebuilds it incrementally, runs the test
# programs that should notice, and reports each fault as
#   killed          a test failed (or hung past its time)
#   SURVIVED        every test passed: a fault the tests miss
#   not applicable  its text is not in its file exactly once (the code moved),
#                   or the mutated file does not build
# and a summary line. The working tree is never changed; the scratch copy lives
# in build/mutants/ and its build is reused from run to run. On demand only,
# not in CI: it takes a while.
#
# Usage: scripts/mutants.sh [-b BUILD_DIR] [-t SECONDS] [-a] [-n] [FILTER]
#   FILTER  extended regex on the mutants' names: run only those that match
#   -b DIR  build directory of the scratch copy (default build/mutants/tree/build/default;
#           a relative path is taken from the scratch copy's root)
#   -t SEC  time limit of one mutant's test run (default 300)
#   -a      run every test program for every mutant, not only its scope
#   -n      only check that each mutant's text is found; build nothing
# Exits 0 whatever the figure is; non-zero only when the script cannot do its
# work (no build, or the unmutated tree fails its own tests).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build_dir="" limit=300 all_tests=0 dry=0
while getopts "b:t:anh" opt; do
    case $opt in
        b) build_dir=$OPTARG ;;
        t) limit=$OPTARG ;;
        a) all_tests=1 ;;
        n) dry=1 ;;
        *) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
filter=${1:-}

# name  scope  file  text => replacement
# scope: the test folders (tests/<folder>) whose programs should kill it, or "all".
# file: a path in the tree, or a file name looked up anywhere in the tree when
# the path no longer exists. "¶" in a text stands for a line break.
mutants() {
    cat <<'EOF'
open-id-ignored          unit        hwds/source.cpp      && found->matchesId(id))  =>  )
open-case-sensitive      unit        hwds/source.cpp      if (platform::asciiIEquals(t.name, type)) {  =>  if (std::strcmp(t.name, type) == 0) {
open-not-kept            unit        hwds/source.cpp      openSources = *out;  =>  (void)openSources;
runner-no-pacing         unit        hwds/runner.cpp      if (elapsed < HWDS_RETRY_PACING_MS)  =>  if (elapsed > HWDS_RETRY_PACING_MS)
runner-retry-ends        unit        hwds/runner.cpp      if (answer == HWDS_ANSWER_RETRY) continue;  =>  if (answer == HWDS_ANSWER_RETRY) return CE_CANCELED;
runner-cancel-timeout    unit        hwds/runner.cpp      ? CE_CANCELED : CE_TIMEOUT;  =>  ? CE_TIMEOUT : CE_CANCELED;
runner-end-prompt        unit        hwds/runner.cpp      if (asked) ask(HWDS_PROMPT_END, nullptr);  =>  if (!asked) ask(HWDS_PROMPT_END, nullptr);
runner-denied-asks       unit        hwds/runner.cpp      status == HWDS_ACCESS_DENIED ||  =>
runner-io-prompt         unit        hwds/runner.cpp      case HWDS_IO_ERROR: return HWDS_PROMPT_IO_ERROR;  =>  case HWDS_IO_ERROR: return HWDS_PROMPT_NOT_PRESENT;
runner-no-callback       unit        hwds/runner.cpp      interaction->interact == nullptr) return CE_HW_NEED_INTERACTION;  =>  interaction->interact == nullptr) return CE_CANCELED;
runner-unsupported       unit        hwds/runner.cpp      case HWDS_NOT_SUPPORTED: return CE_HW_OP_NOT_SUPPORTED;  =>  case HWDS_NOT_SUPPORTED: return CE_HW_FAIL;
accord-range-end         unit        hwds/accord/hwaccord.cpp  if (end > uint64_t{family->pages} * TM_PAGE_DATA)  =>  if (end > uint64_t{family->pages} * TM_PAGE_DATA + 1)
accord-page-255          unit        hwds/accord/hwaccord.cpp  TM_PAGE_LIMIT - family.firstPage)  =>  TM_PAGE_LIMIT + 1 - family.firstPage)
accord-first-page        unit        hwds/accord/hwaccord.cpp  span->page = family->firstPage + offset / TM_PAGE_DATA;  =>  span->page = offset / TM_PAGE_DATA;
accord-in-page           unit        hwds/accord/hwaccord.cpp  span->inPage = offset % TM_PAGE_DATA;  =>  span->inPage = 0;
accord-family-start      unit        hwds/accord/hwaccord.cpp  {0x06, 16, 4},  =>  {0x06, 16, 3},
accord-present-per-page  unit        hwds/accord/hwaccord.cpp  // The key can be taken away between pages.¶        if (tm.present() == 0)  =>  // The key can be taken away between pages.¶        if (false && tm.present() == 0)
accord-partial-page      unit        hwds/accord/hwaccord.cpp  if (chunk < TM_PAGE_DATA && !tmSucceeded  =>  if (chunk > TM_PAGE_DATA && !tmSucceeded
accord-unchecked-swap    unit        hwds/accord/hwaccord.cpp  return checked ? tmDriver().checkReadPage : tmDriver().rawReadPage;  =>  return checked ? tmDriver().rawReadPage : tmDriver().checkReadPage;
accord-option-ignored    unit        hwds/accord/hwaccord.cpp  if (id != nullptr && !platform::asciiIEquals(id, OPTION_UNCHECKED_READ)) return CE_BAD_PARAM;  =>
accord-zeros-pass        unit        hwds/accord/hwaccord.cpp  return hwds::randomStatus(data, length);  =>  return HWDS_OK;
random-zero-rule         unit        hwds/random_check.h  [](uint8_t b) { return b != 0; }  =>  [](uint8_t b) { return b != 0 || true; }
sobol-zeros-pass         unit        hwds/sobol/hwsobol.cpp    return hwds::randomStatus(data, length);  =>  return HWDS_OK;
sobol-one-byte-more      unit        hwds/sobol/snellock.cpp   (length + 1) * 8)  =>  length * 8)
sobol-bits-overflow      unit        hwds/sobol/snellock.cpp   if (length >= UINT32_MAX / 8) return false;  =>  if (length > UINT32_MAX / 8) return false;
sobol-card-check         unit        hwds/sobol/snellock.cpp   if (isCard() != 0) return false;  =>  if (isCard() == 0) return false;
sobol-id-unchecked       unit        hwds/sobol/hwsobol.cpp    if (*end != '\0') return CE_BAD_PARAM;  =>
tuvak-bound              unit        hwds/tuvak/protocol.cpp   return static_cast<uint64_t>(offset) + length <= TUVAK_MEMORY_SIZE;  =>  return static_cast<uint64_t>(offset) + length <= TUVAK_MEMORY_SIZE + 1;
tuvak-bound-wraps        unit        hwds/tuvak/protocol.cpp   return static_cast<uint64_t>(offset) + length <= TUVAK_MEMORY_SIZE;  =>  return uint32_t(offset + length) <= TUVAK_MEMORY_SIZE;
tuvak-check-byte         unit        hwds/tuvak/protocol.cpp   return static_cast<uint8_t>(0xFF - sum);  =>  return static_cast<uint8_t>(0x100 - sum);
tuvak-write-check-span   unit        hwds/tuvak/protocol.cpp   frame[3] = tuvakCheck(frame + 1, 2);  =>  frame[3] = tuvakCheck(frame + 2, 1);
tuvak-write-echo         unit        hwds/tuvak/protocol.cpp   echo != TUVAK_CMD_WRITE ||  =>
tuvak-write-ack          unit        hwds/tuvak/protocol.cpp   ack != TUVAK_CMD_WRITE) {  =>  ack == 0) {
tuvak-read-echo          unit        hwds/tuvak/protocol.cpp   echo != TUVAK_CMD_READ ||  =>
tuvak-read-check         unit        hwds/tuvak/protocol.cpp   || (reply[0] & reply[1]) != 0) {  =>  ) {
tuvak-write-late-byte    unit        hwds/tuvak/protocol.cpp   !lineQuiet(timer.lateByteWaitMs())) status = HWDS_WRITE_ERROR;  =>  false) status = HWDS_WRITE_ERROR;
tuvak-read-late-byte     unit        hwds/tuvak/protocol.cpp   length != 0 && !lineQuiet(timer.lateByteWaitMs())) status = HWDS_IO_ERROR;  =>  length != 0 && false) status = HWDS_IO_ERROR;
tuvak-random-check       unit        hwds/tuvak/protocol.cpp   exchangeBuf[TUVAK_MEMORY_SIZE + 1] == tuvakCheck(exchangeBuf + 1, TUVAK_MEMORY_SIZE);  =>  true;
tuvak-random-cache       unit        hwds/tuvak/protocol.cpp   if (n < TUVAK_MEMORY_SIZE) randomPos = n + 1;  =>  if (n < TUVAK_MEMORY_SIZE) randomPos = n;
tuvak-random-probe       unit        hwds/tuvak/protocol.cpp   if (length == 0) return probe();  =>  if (length == 0) return HWDS_OK;
walk-skips-highest       unit        hwds/tuvak/adapters.cpp   for (uint32_t k = entries.count(); k-- > 0;)  =>  for (uint32_t k = entries.count() - 1; k-- > 0;)
walk-entry-prefix        unit        hwds/tuvak/adapters.cpp   &&¶           data[kInstancePrefix.size() + id.size()] == '\\';  =>  ;
port-unreadable-entry    unit        hwds/tuvak/connection.cpp if (!entry.readable) return unreadable = true;  =>  if (!entry.readable) return unreadable = false;
port-no-entries          unit        hwds/tuvak/connection.cpp case tuvak::AdapterWalk::NoEntries: return HWDS_NOT_PRESENT;  =>  case tuvak::AdapterWalk::NoEntries: return HWDS_FAILED;
port-com-prefix          unit        hwds/tuvak/connection.cpp if (portNameSize < 3 || std::memcmp(portName, "COM", 3) != 0) return HWDS_FAILED;  =>  if (portNameSize < 3) return HWDS_FAILED;
port-err-2               unit        hwds/tuvak/connection.cpp case platform::kErrFileNotFound:  =>  case platform::kErrGenFailure:
port-err-5               unit        hwds/tuvak/connection.cpp case platform::kErrAccessDenied: return HWDS_ACCESS_DENIED;  =>  case platform::kErrAccessDenied: return HWDS_IO_ERROR;
port-err-21              unit        hwds/tuvak/connection.cpp case platform::kErrNotReady:  =>  case platform::kErrInvalidParameter:
port-err-32              unit        hwds/tuvak/connection.cpp case platform::kErrSharingViolation:  =>  case platform::kErrInvalidHandle:
port-err-33              unit        hwds/tuvak/connection.cpp case platform::kErrLockViolation: return HWDS_IO_ERROR;  =>  case platform::kErrLockViolation: return HWDS_FAILED;
port-err-55              unit        hwds/tuvak/connection.cpp case platform::kErrDevNotExist: return HWDS_NOT_PRESENT;  =>  case platform::kErrDevNotExist: return HWDS_FAILED;
port-baud                unit        hwds/tuvak/connection.cpp line.baudRate = 115200;  =>  line.baudRate = 9600;
list-order               unit,e2e    hwds/tuvak/adapters.cpp   std::sort(numbers.begin(), numbers.end());  =>  std::sort(numbers.rbegin(), numbers.rend());
regedit-escape           unit,posix  regedit.cpp          if (next != '\\' && next != '"') {  =>  if (next != '\\') {
regedit-escape-kept      unit,posix  regedit.cpp          out->push_back(next);  =>  out->push_back('\\'), out->push_back(next);
regedit-continuation     unit,posix  regedit.cpp          const bool continued = !segment.empty() && segment.back() == '\\';  =>  const bool continued = segment.size() > 1 && segment.back() == '\\';
regedit-hex-type         unit,posix  regedit.cpp          !parseHex32(data.substr(4, close - 4), &type)  =>  !parseHex32(data.substr(4, close - 3), &type)
regedit-dword-digits     unit,posix  regedit.cpp          if (s.empty() || s.size() > 8) return false;  =>  if (s.empty() || s.size() > 9) return false;
regedit-hex-byte-digits  unit,posix  regedit.cpp          if (end - i > 2) {  =>  if (end - i > 3) {
regedit-trailing-comma   unit,posix  regedit.cpp          if (expectByte && !out->empty()) return fail  =>  if (false) return fail
regedit-utf16-bom        unit,posix  regedit.cpp          } else if (text.substr(0, 2) == "\xFF\xFE") {  =>  } else if (text.substr(0, 2) == "\xFF\xFF") {
regedit-utf8-bom         unit,posix  regedit.cpp          text.remove_prefix(3);  =>  text.remove_prefix(0);
regedit-surrogate        unit,posix  regedit.cpp          cp = 0x10000 + ((cp - 0xD800) << 10)  =>  cp = ((cp - 0xD800) << 10)
regedit-line-number      unit,posix  regedit.cpp          std::max<std::size_t>(lineNumber_, 1)  =>  std::max<std::size_t>(lineNumber_ + 1, 1)
regedit-crlf             unit,posix  regedit.cpp          if (!line->empty() && line->back() == '\r') line->remove_suffix(1);  =>  if (line->size() > 1 && line->back() == '\r') line->remove_suffix(1);
regedit-key-removal      unit,posix  regedit.cpp          const bool remove = !inner.empty() && inner.front() == '-';  =>  const bool remove = false;
console-table-yo         posix,e2e   posix_console.cpp    0x0401, 0x00A9  =>  0x0400, 0x00A9
console-table-98         posix,e2e   posix_console.cpp    if (cp == 0) {  =>  if (cp == 1) {
console-two-byte-range   unit,posix,e2e platform/text.h    } else if (cp < 0x800) {  =>  } else if (cp < 0x400) {
console-lead-byte        unit,posix,e2e platform/text.h    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));  =>  out->push_back(static_cast<char>(0xC0 | (cp >> 7)));
console-ascii-edge       posix,e2e   posix_console.cpp    if (b < 0x80) {  =>  if (b <= 0x80) {
console-width            posix,e2e   posix_console.cpp    return utf8Characters(bytes);  =>  return static_cast<int>(bytes.size());
tool-pass-bytes          unit,e2e    hwds/tuvak/wipe.h    {0xFF, 0x00, 0x55, 0xAA, 0x00}  =>  {0xFF, 0x00, 0xAA, 0x55, 0x00}
tool-short-write         unit,e2e    hwds/tuvak/wipe.cpp  hwdsWrite(source, interaction, buffer, sizeof buffer, 0);  =>  hwdsWrite(source, interaction, buffer, sizeof buffer - 1, 0);
tool-blank-line          unit,e2e    tool/wipe.cpp        blanks[0] = '\r';  =>  blanks[0] = '\n';
tool-argc                unit,e2e    tool/entry.cpp       if (argc > 2) {  =>  if (argc > 3) {
tool-dash-switch         unit,e2e    tool/entry.cpp       return (id[0] == '-' || id[0] == '/') && id[1] == letter;  =>  return id[0] == '/' && id[1] == letter;
tool-id-length           unit,e2e    tool/entry.cpp       std::strlen(argument) > kIdChars;  =>  std::strlen(argument) > kIdChars + 1;
tool-registry-broken     unit,e2e    tool/entry.cpp       if (registryBroken()) return 1;  =>  if (registryBroken()) {}
tool-failed-stream       unit,e2e    tool/entry.cpp       writeFormat(platform::Stream::Out, toConsole(msg::FMT_WIPE_FAILED)  =>  writeFormat(platform::Stream::Err, toConsole(msg::FMT_WIPE_FAILED)
tool-canceled-text       unit,e2e    tool/error_report.cpp case CE_CANCELED: return msg::MSG_ERR_NOT_CONNECTED;  =>  case CE_CANCELED: return msg::MSG_ERR_FAULTY;
tool-access-text         unit,e2e    tool/error_report.cpp case CE_HW_ACCESS_DENIED: return msg::MSG_ERR_ACCESS;  =>  case CE_HW_ACCESS_DENIED: return msg::MSG_ERR_WRITE;
tool-faulty-message      unit,e2e    tool/messages.h      \xED\xE5\xE8\xF1\xEF\xF0\xE0\xE2\xED\xEE";  =>  \xED\xE5\xE8\xF1\xEF\xF0\xE0\xE2\xED\xE0";
tool-list-width          unit,e2e    tool/listing.cpp     constexpr std::size_t kMaxListedId = 14;  =>  constexpr std::size_t kMaxListedId = 15;
tool-list-id-start       unit,e2e    tool/listing.cpp     - text) + 2;  =>  - text) + 1;
tool-list-zero-count     unit,e2e    tool/listing.cpp     if (!entries.counted() || count <= 0) {  =>  if (!entries.counted() || count < 0) {
tool-list-one-many       unit,e2e    tool/listing.cpp     count == 1 ? msg::MSG_LIST_ONE : msg::MSG_LIST_MANY  =>  count == 1 ? msg::MSG_LIST_MANY : msg::MSG_LIST_ONE
tool-list-below-count    unit,e2e    hwds/tuvak/adapters.cpp   if (value < bound) numbers.push_back  =>  if (value <= bound) numbers.push_back
cli-range-check          unit,e2e    cli/memory.cpp       if (offset <= size && length <= size - offset) return true;  =>  if (offset <= size && length <= size) return true;
tuvak-size-off-by-one    unit,e2e    hwds/tuvak/hwtuvak.h *size = TUVAK_MEMORY_SIZE;  =>  *size = TUVAK_MEMORY_SIZE + 1;
cli-empty-tuvak-id       unit,e2e    hwds/tuvak/tuvak_devices.h  return id != nullptr && id[0] != '\0';  =>  return id != nullptr;
cli-exit-bad-param       unit,e2e    cli/texts.cpp        case CE_BAD_PARAM:¶        case CE_HW_OP_NOT_SUPPORTED: return kExitUsage;  =>  case CE_HW_OP_NOT_SUPPORTED: return kExitUsage;
cli-exit-timeout         unit,e2e    cli/texts.cpp        case CE_TIMEOUT:¶        case CE_HW_NOT_FOUND:  =>  case CE_HW_NOT_FOUND:
cli-exit-combined        unit,e2e    cli/texts.cpp        if (combined != kExitOk && combined != status) return kExitFailed;  =>  if (combined != kExitOk && combined < status) return kExitFailed;
cli-number-overflow      unit,e2e    platform/text.h      if (d > max || n > (max - d) / base) return false;  =>  if (d > max || n > max / base) return false;
cli-number-base          unit,e2e    platform/text.h      static_cast<unsigned>(digit) >= base) return false;  =>  static_cast<unsigned>(digit) > base) return false;
cli-pass-width           unit,e2e    cli/texts.cpp        bool byte = !item.empty() && item.size() <= 2;  =>  bool byte = !item.empty() && item.size() <= 3;
cli-printable            unit,e2e    cli/texts.cpp        (data[i] >= 0x20 && data[i] < 0x7F)  =>  (data[i] >= 0x20 && data[i] <= 0x7F)
cli-verify-last-pass     unit,e2e,concurrency hwds/tuvak/wipe.cpp const uint8_t last = request.passes.back();  =>  const uint8_t last = request.passes.front();
cli-mismatch-status      unit,e2e,concurrency cli/wipe.cpp if (mismatch) return kExitMismatch;  =>  if (mismatch) return kExitFailed;
cli-usage-status         unit,e2e    cli/program.cpp      return app.exit(e) == 0 ? cli::kExitOk : cli::kExitUsage;  =>  return app.exit(e) == 0 ? cli::kExitOk : cli::kExitFailed;
cli-list-broken-data     unit,e2e    cli/list.cpp         if (listed != CE_OK && listed != CE_HW_NOT_FOUND) status = kExitFailed;  =>  if (listed == CE_HW_FAIL_LOCK) status = kExitFailed;
EOF
}

# ---------------------------------------------------------------------------

work=$root/build/mutants
tree=$work/tree
[ -n "$build_dir" ] || build_dir=build/default
case $build_dir in /*) ;; *) build_dir=$tree/$build_dir ;; esac

# ccache, when there is one, shares objects with the tree's own build.
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=1
fi
export LC_ALL=C.UTF-8

# The scratch copy: the tree's files as they are now (committed or not);
# unchanged files keep their times, so the build stays incremental.
sync_tree() {
    mkdir -p "$tree"
    local list=$work/files
    git -C "$root" ls-files -co --exclude-standard | grep -v '^build/' | sort >"$list"
    local f
    while IFS= read -r f; do
        [ -f "$root/$f" ] || continue
        if ! cmp -s "$root/$f" "$tree/$f"; then
            mkdir -p "$tree/$(dirname "$f")"
            cp "$root/$f" "$tree/$f"
        fi
    done <"$list"
    # Files gone from the tree go from the copy too (the test folders are globbed).
    (cd "$tree" && find . -path ./build -prune -o -type f -print | sed 's|^\./||' | sort) |
        comm -23 - "$list" | while IFS= read -r f; do rm -f "$tree/$f"; done
}

# The file a mutant names: its path, or else the one file of that name.
locate() {
    local want=$1
    if [ -f "$tree/$want" ]; then
        echo "$want"
        return 0
    fi
    local hits
    hits=$(grep -E "(^|/)$(basename "$want" | sed 's/[.]/[.]/g')\$" "$work/files")
    [ -n "$hits" ] && [ "$(echo "$hits" | wc -l)" -eq 1 ] && echo "$hits"
}

current_file="" saved=""
restore() {
    if [ -n "$current_file" ]; then
        # A fresh time, so that the next build compiles the original again.
        cat "$saved" >"$current_file"
        current_file=""
    fi
}
trap 'restore' EXIT
trap 'restore; echo "interrupted" >&2; exit 130' INT TERM

# Folders' test programs and the ctest pattern for a scope.
targets_for() {
    local scope=$1
    [ "$all_tests" -eq 1 ] || [ "$scope" = all ] && { echo all; return; }
    echo "${scope//,/_tests }_tests"
}
pattern_for() {
    local scope=$1
    [ "$all_tests" -eq 1 ] || [ "$scope" = all ] && { echo '.'; return; }
    echo "^(${scope//,/|})\."
}

build() {
    local t
    for t in "$@"; do
        cmake --build "$build_dir" -j2 --target "$t" >"$work/build.log" 2>&1 || return 1
    done
}

run_tests() {
    timeout --kill-after=10 "$limit" ctest --test-dir "$build_dir" -j2 --timeout 120 \
        --output-on-failure -R "$1" >"$work/test.log" 2>&1
}

failed_tests() {
    sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' "$work/test.log" | head -3 | paste -sd' '
}

main() {
    mkdir -p "$work"
    sync_tree
    saved=$work/original

    if [ "$dry" -eq 0 ]; then
        echo "== building the scratch copy in $build_dir"
        (cd "$tree" && cmake --preset default -B "$build_dir" >"$work/configure.log" 2>&1) ||
            { cat "$work/configure.log" >&2; exit 1; }
        build all || { tail -n 30 "$work/build.log" >&2; exit 1; }
        echo "== the unmutated tree's tests"
        if ! run_tests '.'; then
            echo "the unmutated tree fails its tests (see $work/test.log): $(failed_tests)" >&2
            exit 1
        fi
    fi

    local killed=0 survived=0 na=0 total=0
    local name scope file rest from to path content rest_text n
    while read -r name scope file rest; do
        [ -n "$name" ] || continue
        [ -z "$filter" ] || [[ $name =~ $filter ]] || continue
        total=$((total + 1))
        from=${rest%%  =>*}
        to=${rest#*=>}
        to=${to#"${to%%[! ]*}"}
        from=${from//¶/$'\n'}
        to=${to//¶/$'\n'}

        path=$(locate "$file")
        if [ -z "$path" ]; then
            printf '%-26s not applicable (no file %s)\n' "$name" "$file"
            na=$((na + 1))
            continue
        fi
        content=$(cat "$tree/$path"; printf x)
        content=${content%x}
        rest_text=${content//"$from"/}
        n=$(((${#content} - ${#rest_text}) / ${#from}))
        if [ "$n" -ne 1 ]; then
            printf '%-26s not applicable (text found %d times in %s)\n' "$name" "$n" "$path"
            na=$((na + 1))
            continue
        fi
        if [ "$dry" -eq 1 ]; then
            printf '%-26s found in %s\n' "$name" "$path"
            continue
        fi

        cp "$tree/$path" "$saved"
        current_file=$tree/$path
        printf '%s' "${content/"$from"/"$to"}" >"$current_file"
        # shellcheck disable=SC2046
        if ! build $(targets_for "$scope"); then
            restore
            printf '%-26s not applicable (does not build; see below)\n' "$name"
            grep -m 3 'error' "$work/build.log" | sed 's/^/    /'
            na=$((na + 1))
            continue
        fi
        local start=$SECONDS
        if run_tests "$(pattern_for "$scope")"; then
            printf '%-26s SURVIVED  (%s, %s tests, %d s)\n' "$name" "$path" "$scope" $((SECONDS - start))
            survived=$((survived + 1))
        else
            local by
            by=$(failed_tests)
            printf '%-26s killed    (%d s) by %s\n' "$name" $((SECONDS - start)) "${by:-the time limit}"
            killed=$((killed + 1))
        fi
        restore
    done < <(mutants)

    if [ "$dry" -eq 0 ]; then
        # Leave the scratch build matching the unmutated tree.
        build all >/dev/null 2>&1 || true
        echo "mutants: $killed killed, $survived survived, $na not applicable of $total"
    else
        echo "mutants: $na not applicable of $total"
    fi
}

main
