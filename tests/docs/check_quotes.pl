#!/usr/bin/env perl
# Checks that every message the player's guide and the manual page quote is
# one the tool can print: each quote must match a string literal of src/.
#
#   perl tests/docs/check_quotes.pl [source folder]
#
# Quotes are the `code spans` of doc/players.md that hold a space (command
# lines, `rawgraft 1 ...`, are not messages; lines indented by four spaces are
# examples) and the "double-quoted" texts of doc/rawgraft.1 outside its macro
# lines. In a quote, PATH, FILE, NAME, N and the other upper-case words below,
# and any number, stand for a printf conversion or for the value printed;
# "..." stands for any text. A message that the tool builds from pieces
# matches when each of its fixed pieces is in one source file. Every quote
# that no literal holds is named, and the status is then 1. With
# DOCS_CHECK_VERBOSE=1 it prints each quote and the literal it matched.
use strict;
use warnings;

my $root = shift // '.';
my @docs = ('doc/players.md', 'doc/rawgraft.1');
my %placeholder = map { $_ => 1 }
  qw(PATH FILE F NAME N M L X A B ID LIST BACKUP REASON TYPE SIZE WORLD STAMP);

sub slurp {
  my ($path) = @_;
  open(my $in, '<', $path) or die "docs check: can not read $path: $!\n";
  local $/;
  return <$in>;
}

sub unescape_c {
  my ($text) = @_;
  my %simple = (n => "\n", t => "\t", r => "\r", '"' => '"', "'" => "'", '\\' => '\\', '?' => '?');
  $text =~ s{\\(x[0-9A-Fa-f]+|[0-7]{1,3}|.)}{
    my $e = $1;
    $e =~ /^x/ ? chr(hex(substr($e, 1))) : $e =~ /^[0-7]/ ? chr(oct($e)) : ($simple{$e} // $e)
  }ge;
  return $text;
}

# The string literals of a C++ file, adjacent ones joined, split into lines.
sub literal_lines {
  my ($code) = @_;
  my @literals;
  my $joining = 0;
  pos($code) = 0;
  while (pos($code) < length $code) {
    if ($code =~ /\G\/\/[^\n]*/gc || $code =~ /\G\/\*.*?\*\//gcs || $code =~ /\G\s+/gc) {
      next;
    } elsif ($code =~ /\G'(?:\\.|[^'\\])*'/gc) {
      $joining = 0;
    } elsif ($code =~ /\GR"([^(]*)\((.*?)\)\1"/gcs) {
      push @literals, $2;
      $joining = 0;
    } elsif ($code =~ /\G"((?:\\.|[^"\\])*)"/gc) {
      my $text = unescape_c($1);
      if ($joining) { $literals[-1] .= $text } else { push @literals, $text }
      $joining = 1;
    } else {
      $code =~ /\G[A-Za-z0-9_]+|\G./gcs;
      $joining = 0;
    }
  }
  return grep { /\S/ } map { split /\n/ } @literals;
}

my %source_lines;  # file => [lines]
for my $file (glob("$root/src/*.cpp $root/src/*.h")) {
  $source_lines{$file} = [literal_lines(slurp($file))];
}
die "docs check: no sources in $root/src\n" unless %source_lines;

my $conversion = qr/%[-+ #0]*(?:\d+|\*)?(?:\.(?:\d+|\*))?(?:hh|h|ll|l|z|j|t)?[diouxXscp]/;

# The quote as a pattern over a whole line of source text: placeholders and
# numbers match a conversion or a value, "..." anything.
sub quote_pattern {
  my ($quote) = @_;
  my $pattern = '^\s*';
  for my $piece (split /(\.\.\.|…|\b[A-Z]+\b|\b\d+\b)/, $quote) {
    next if $piece eq '';
    if ($piece eq '...' || $piece eq '…') {
      $pattern .= '.*?';
    } elsif ($piece =~ /^\d+$/) {
      $pattern .= "(?:$conversion|$piece)";
    } elsif ($piece =~ /^[A-Z]+$/ && $placeholder{$piece}) {
      $pattern .= "(?:$conversion|\Q$piece\E)";
    } else {
      $pattern .= quotemeta $piece;
    }
  }
  return qr/$pattern\s*$/;
}

# A source line as a pattern over the quote, for quotes that show an example
# value, one word, where the source has a conversion. Lines with few fixed
# words match nothing.
sub line_pattern {
  my ($line) = @_;
  my @parts = split /($conversion)/, $line;
  my $fixed = join ' ', grep { !/^$conversion$/ } @parts;
  return undef if ($fixed =~ tr/A-Za-z//) < 8;
  my $pattern = join '', map { /^$conversion$/ ? '\S+' : quotemeta } @parts;
  return qr/^\s*$pattern\s*$/;
}

sub fixed_pieces {
  my ($quote) = @_;
  my @pieces;
  for my $piece (split /\.\.\.|…|\b(?:\d+|[A-Z]+)\b/, $quote) {
    $piece =~ s/^[\s:,;.]+|[\s:,;]+$//g;
    push @pieces, $piece if $piece ne '';
  }
  return @pieces;
}

my %line_patterns;

sub has_source {
  my ($quote) = @_;
  my $pattern = quote_pattern($quote);
  for my $lines (values %source_lines) {
    for my $line (@$lines) {
      return "as $line" if $line =~ $pattern;
      my $example = $line_patterns{$line} //= line_pattern($line) // qr/(?!)/;
      return "as $line" if $quote =~ $example;
    }
  }
  # Pieces joined at run time (a name, then ": order changed"); a quote
  # without a placeholder is one piece, and must be a whole line.
  my @pieces = fixed_pieces($quote);
  return '' unless @pieces && $quote =~ /\.\.\.|…|\b(?:\d+|[A-Z]+)\b/;
  for my $file (sort keys %source_lines) {
    my $all = join "\n", @{$source_lines{$file}};
    return "in pieces in $file" unless grep { index($all, $_) < 0 } @pieces;
  }
  return '';
}

sub guide_quotes {
  my ($text) = @_;
  my @quotes;
  my @paragraph;
  for my $line (split /\n/, $text, -1) {
    next if $line =~ /^ {4}/;
    push @paragraph, $line;
  }
  my $joined = join ' ', @paragraph;
  while ($joined =~ /`([^`]+)`/g) {
    my $span = $1;
    $span = substr($span, 1, -1) if $span =~ /^ .*\S.* $/;
    next unless $span =~ / /;
    next if $span =~ m{^rawgraft(?:\.exe)? (?:\d|<|-|/\?|help\b)};
    push @quotes, $span;
  }
  return @quotes;
}

sub roff_text {
  my ($text) = @_;
  $text =~ s/\\\(rs/\\/g;
  $text =~ s/\\\(dq/"/g;
  $text =~ s/\\f[BIRP]//g;
  $text =~ s/\\[&%]//g;
  $text =~ s/\\ / /g;
  $text =~ s/\\-/-/g;
  $text =~ s/\\e/\\/g;
  return $text;
}

# Quotes of the manual page, from its runs of text lines; a quote may not go
# on past a macro line.
sub manual_quotes {
  my ($text, $problems) = @_;
  my @quotes;
  my @run;
  my $flush = sub {
    my $joined = roff_text(join ' ', @run);
    @run = ();
    my $count = () = $joined =~ /"/g;
    push @$problems, "an odd number of double quotes in: $joined" if $count % 2;
    push @quotes, $1 while $joined =~ /"([^"]*)"/g;
  };
  $text =~ s/\\\n//g;  # a line continued
  for my $line (split /\n/, $text) {
    if ($line =~ /^[.']/) { $flush->() } else { push @run, $line }
  }
  $flush->();
  return @quotes;
}

my $checked = 0;
my (@missing, @problems);
for my $doc (@docs) {
  my $text = slurp("$root/$doc");
  my @quotes = $doc =~ /\.md$/ ? guide_quotes($text) : manual_quotes($text, \@problems);
  for my $quote (grep { /[A-Za-z]/ } @quotes) {
    ++$checked;
    my $found = has_source($quote);
    print "$doc: \"$quote\" $found\n" if $ENV{DOCS_CHECK_VERBOSE};
    push @missing, "$doc: \"$quote\"" unless $found;
  }
}
print STDERR "docs check: $_\n" for @problems;
print STDERR "docs check: no message in src/ for the quote $_\n" for @missing;
if (@missing || @problems) {
  printf STDERR "docs check: %d of %d quoted messages have no source\n", scalar @missing, $checked;
  exit 1;
}
print "docs check: all $checked quoted messages are in src/\n";
