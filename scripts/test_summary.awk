# Reads the JUnit file of a ctest run (ctest --output-junit FILE) and prints
# one line: the tests passed, failed and skipped, and each skipped test with
# its reason, the message its GTEST_SKIP (or unittest's skipTest) gave.
#
#   awk -f scripts/test_summary.awk build/test-results.xml

function attribute(line, key,    start, rest) {
  start = index(line, " " key "=\"")
  if (start == 0) return ""
  rest = substr(line, start + length(key) + 3)
  return substr(rest, 1, index(rest, "\"") - 1)
}

function unescape(text) {
  gsub(/&lt;/, "<", text)
  gsub(/&gt;/, ">", text)
  gsub(/&quot;/, "\"", text)
  gsub(/&apos;/, "'", text)
  gsub(/&amp;/, "\\&", text)
  return text
}

/<testcase / {
  name = unescape(attribute($0, "name"))
  status = attribute($0, "status")
  skipMessage = ""
  reason = ""
  readingReason = 0
  next
}

/<skipped message="/ { skipMessage = unescape(attribute($0, "message")); next }

# Python's unittest (-v) prints "NAME ... skipped 'REASON'"; a test
# program that skips as a whole prints "skipped: REASON".
/ \.\.\. skipped '/ && reason == "" {
  reason = unescape($0)
  sub(/.* \.\.\. skipped '/, "", reason)
  sub(/'$/, "", reason)
  next
}
/^skipped: / && reason == "" { reason = unescape(substr($0, 10)); next }

# GoogleTest prints "FILE:LINE: Skipped", then the message, then
# "[  SKIPPED ] NAME".
readingReason == 1 {
  if ($0 ~ /^\[  SKIPPED \]/) readingReason = 2
  else reason = reason (reason == "" ? "" : " ") unescape($0)
  next
}
readingReason == 0 && /: Skipped$/ { readingReason = 1; next }

/<\/testcase>/ {
  if (status == "run") {
    passed++
  } else if (status == "notrun" && skipMessage ~ /^SKIP_/ || status == "disabled") {
    skipped++
    if (reason == "") reason = status == "disabled" ? "disabled" : "no reason given"
    skippedList = skippedList (skippedList == "" ? "" : "; ") name " (" reason ")"
  } else {
    failed++
  }
}

END {
  line = sprintf("tests: %d passed, %d failed, %d skipped", passed, failed, skipped)
  if (skipped) line = line ": " skippedList
  print line
}
