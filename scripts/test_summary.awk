# Reads the JUnit file of a ctest run (ctest --output-junit FILE) and prints
# one line: the tests passed, failed and skipped, and each skipped test with
# its reason, the message its GTEST_SKIP gave.
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
  } else if (status == "notrun" && skipMessage == "SKIP_REGULAR_EXPRESSION_MATCHED" || status == "disabled") {
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
