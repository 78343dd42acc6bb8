// A check that a printf format fits the arguments a caller is about to pass,
// for formats that come from data (catalogue texts) rather than from code.
//
//   FormatMatches   true when the conversions of a format correspond one to
//                   one, in kind and number, to a list of argument kinds
//
// Argument kinds, one character per argument in order:
//   's' const char*            conversions %s
//   'd' int, 'u' unsigned int, 'c' char (passed as int)
//                              %d %i %o %u %x %X %c, also with hh or h
//   'l' long / unsigned long   %ld %li %lo %lu %lx %lX
//   'q' long long (signed or not) the same with ll
//   'z' size_t / ssize_t       the same with z
//   'f' double                 %f %F %e %E %g %G %a %A, also with l
//   'p' const void*            %p
// Flags "-+ #0", a width and a precision (each at most 9999) are accepted;
// "%%" is a literal. Refused: "*" widths or precisions, positional arguments
// ("%1$s"), %n, wide conversions (%ls, %lc, %S, %C), length modifiers not
// listed above, any unknown conversion, a format that ends inside a
// conversion, and any mismatch of kind or count. A null format, or an
// unknown kind letter, is refused; null kinds mean no arguments.
#pragma once

bool FormatMatches(const char* format, const char* argumentKinds);
