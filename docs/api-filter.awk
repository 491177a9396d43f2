# The input filter of the API reference (docs/Doxyfile): reads the headers' plain comments as
# Doxygen's, one output line per input line so that warnings point at the header's own lines.
# - "#pragma once" opens the file's documentation: the header's opening comment documents it.
# - A comment block documents the declaration after it; an example indented under it is code.
# - A comment after a member (behind ";", "," or "{") documents the member.
# - A comment block right before an #if or #include is a note on it, not documentation: it
#   stays a plain comment instead of documenting whatever declaration follows.

function flush(as_doc,    i, line, indent) {
  for (i = 1; i <= held; ++i) {
    line = block[i]
    if (as_doc) {
      match(line, /^[ \t]*/)
      indent = substr(line, 1, RLENGTH)
      line = substr(line, RLENGTH + 3)
      if (line == "") line = "///"
      else if (substr(line, 1, 3) == "   ") line = "///    " line
      else line = "///" line
      line = indent line
    }
    print line
  }
  held = 0
}

NR == 1 && $0 == "#pragma once" { print "/// @file"; next }

/^[ \t]*\/\/( |$)/ { block[++held] = $0; next }

{
  flush($0 !~ /^[ \t]*#[ \t]*(if|include)/)
  if ($0 !~ /^[ \t]*\/\// && match($0, /[;,{][ \t]*\/\/ /))
    $0 = substr($0, 1, RSTART) " ///< " substr($0, RSTART + RLENGTH)
  print
}

END { flush(1) }
