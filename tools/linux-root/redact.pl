#!/usr/bin/perl
# The one redaction step every report of the tool stand-ins passes before it is archived, and the
# report's manifest. Uses only perl-base (always installed on Debian).
#   redact.pl --report DIR --commands FILE --tool NAME --version V --host H --started T --obfuscate yes|no
#       standard input: NUL-separated paths of DIR's regular files, relative to DIR. Rewrites each file
#       that holds something to redact, then writes DIR/manifest.json from the commands FILE.
#   redact.pl --stream --obfuscate yes|no
#       standard input to standard output.
# Redacted, the key kept and the value replaced by [REDACTED]: values of password, passwd, secret,
# token, api key, access key, private key and credential options, environment assignments and
# configuration entries; Authorization headers; user:password@ in URLs; private key blocks.
# With --obfuscate yes, this host's names, IPv4, IPv6 and MAC addresses and the names of people's
# accounts (uid 1000 and up) become host-N, ipv4-N, ipv6-N, mac-N and user-N: the same value always
# becomes the same stand-in within one run.
use strict;
use warnings;
use Fcntl qw(O_RDONLY O_WRONLY O_CREAT O_EXCL O_NOFOLLOW);
use Getopt::Long;
use POSIX qw(strftime);

my %opt = (obfuscate => 'no');
GetOptions(\%opt, 'report=s', 'commands=s', 'tool=s', 'version=s', 'host=s', 'started=s', 'obfuscate=s', 'stream')
  or die "redact.pl: bad arguments\n";
my $obfuscate = $opt{obfuscate} =~ /^(?:yes|true|1|on)$/i;

my $MARK = '[REDACTED]';
my $KEY = qr/(?<![\w.\/-])-{0,2}[\w.-]*?(?:pass(?:word|wd|phrase)|secret|token|api[_-]?key|access[_-]?key|private[_-]?key|credentials?)[\w.-]*/i;
my $VALUE = qr/"[^"\n]+"|'[^'\n]+'|[^\s"',;&|)}\]]+/;
my $HINT = qr/pass|secret|token|key|authoriz|credential|:\/\/|-----BEGIN/i;

# --- Secrets -----------------------------------------------------------------------------------

sub mark_value {
  my ($value) = @_;
  return $value if $value eq $MARK || $value eq "\"$MARK\"" || $value eq "'$MARK'";
  return "\"$MARK\"" if $value =~ /^"/;
  return "'$MARK'" if $value =~ /^'/;
  return $MARK;
}

# Redacts one line; answers how many values it replaced.
sub redact_line {
  my ($line) = @_;
  return 0 unless $$line =~ $HINT;
  my $n = 0;
  $n += $$line =~ s/(-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----).+?(-----END [A-Z0-9 ]*PRIVATE KEY-----)/$1$MARK$2/g;
  $n += $$line =~ s/(\b(?:proxy-)?authorization["']?\s*[:=]\s*["']?(?:(?:basic|bearer|digest|negotiate|token|ntlm)\s+)?)(?!\Q$MARK\E)([^\s"',]+)/$1$MARK/gi;
  $n += $$line =~ s/(\b[a-z][a-z0-9+.-]*:\/\/[^\/\s:@]*):(?!\Q$MARK\E)([^\/\s@]+)@/$1:$MARK@/gi;
  $$line =~ s/($KEY["']?[ \t]*[:=][ \t]*)(?!["']?\Q$MARK\E)($VALUE)/my ($k, $old) = ($1, $2); my $v = mark_value($old); $n++ if $v ne $old; "$k$v"/ge;
  $n += $$line =~ s/((?<![\w.\/-])--?[\w.-]*?(?:pass(?:word|wd|phrase)|secret|token|api[_-]?key|access[_-]?key|private[_-]?key|credentials?)[\w.-]*[ \t]+)(?!-)(?!\Q$MARK\E)($VALUE)/$1$MARK/gi;
  return $n;
}

# --- Obfuscation -------------------------------------------------------------------------------

my %alias;
my %next;
sub alias_of {
  my ($kind, $value) = @_;
  my $key = "$kind\0" . lc $value;
  $alias{$key} //= $kind . '-' . ++$next{$kind};
  return $alias{$key};
}

my @users;
my @hosts;
if ($obfuscate) {
  while (my @pw = getpwent()) {
    push @users, $pw[0] if $pw[2] >= 1000 && $pw[2] < 65534 && length $pw[0] > 1;
  }
  endpwent();
  if (defined $opt{host} && length $opt{host}) {
    push @hosts, $opt{host};
    push @hosts, $1 if $opt{host} =~ /^([^.]+)\./;
  }
}
my $USERS = @users ? do { my $u = join '|', map { quotemeta } sort { length $b <=> length $a } @users; qr/(?<![\w.-])($u)(?![\w-])/ } : undef;
my $HOSTS = @hosts ? do { my $h = join '|', map { quotemeta } sort { length $b <=> length $a } @hosts; qr/(?<![\w.-])($h)(?![\w-])/i } : undef;

sub ipv4_alias {
  my ($ip) = @_;
  my @o = split /\./, $ip;
  return $ip if grep { $_ > 255 } @o;
  return $ip if $o[0] == 127 || $ip eq '0.0.0.0' || $ip eq '255.255.255.255';
  return alias_of('ipv4', $ip);
}
sub ipv6_alias {
  my ($ip) = @_;
  return $ip unless $ip =~ /::/ || ($ip =~ tr/://) == 7;
  return $ip if $ip =~ /^:*[01]?$/ || $ip !~ /[0-9a-f]/i;
  return alias_of('ipv6', $ip);
}

sub obfuscate_line {
  my ($line) = @_;
  $$line =~ s/(?<![\w:])([0-9a-f]{2}(?::[0-9a-f]{2}){5})(?![\w:])/my $m = $1; $m =~ m{^(?:00:){5}00$|^(?:ff:){5}ff$}i ? $m : alias_of('mac', $m)/gie;
  $$line =~ s/(?<![\w.])(\d{1,3}(?:\.\d{1,3}){3})(?![\w.]*\d)/ipv4_alias($1)/ge;
  $$line =~ s/(?<![\w:])([0-9a-f]{0,4}(?::[0-9a-f]{0,4}){2,7})(?![\w:])/ipv6_alias($1)/gie;
  $$line =~ s/$HOSTS/alias_of('host', $1)/ge if $HOSTS;
  $$line =~ s/$USERS/alias_of('user', $1)/ge if $USERS;
}

# One line through both steps; private key blocks spanning lines are tracked in $state.
sub clean_line {
  my ($line, $state) = @_;
  if ($$state) {
    if ($$line =~ /-----END [A-Z0-9 ]*PRIVATE KEY-----/) {
      $$state = 0;
      $$line = "$MARK\n$$line";
      return 1;
    }
    $$line = '';
    return 0;
  }
  my $n = 0;
  if ($$line =~ /-----BEGIN [A-Z0-9 ]*PRIVATE KEY-----\s*$/ && $$line !~ /-----END [A-Z0-9 ]*PRIVATE KEY-----/) {
    $$state = 1;
  } else {
    $n = redact_line($line);
  }
  obfuscate_line($line) if $obfuscate;
  return $n;
}

if ($opt{stream}) {
  my $state = 0;
  while (my $line = <STDIN>) {
    clean_line(\$line, \$state);
    print $line;
  }
  print "$MARK\n" if $state;
  exit 0;
}

# --- A report folder ---------------------------------------------------------------------------

my $dir = $opt{report} // die "redact.pl: --report DIR is required\n";
my (%count, %size);

sub clean_file {
  my ($rel) = @_;
  my $path = "$dir/$rel";
  sysopen(my $in, $path, O_RDONLY | O_NOFOLLOW) or die "redact.pl: $path: $!\n";
  binmode $in;
  my @st = stat $in;
  my $head = '';
  read $in, $head, 8192;
  if ($head =~ /\0/) {  # binary: left as it is
    $size{$rel} = $st[7];
    $count{$rel} = 0;
    return;
  }
  seek $in, 0, 0;
  my ($out_text, $n, $changed, $state) = ('', 0, 0, 0);
  while (my $line = <$in>) {
    my $before = $line;
    $n += clean_line(\$line, \$state);
    $changed ||= $line ne $before;
    $out_text .= $line;
  }
  if ($state) { $out_text .= "$MARK\n"; $n++; $changed = 1; }
  close $in;
  $count{$rel} = $n;
  $size{$rel} = length $out_text;
  return unless $changed;
  my $tmp = "$path.redacting";
  sysopen(my $out, $tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, $st[2] & 07777) or die "redact.pl: $tmp: $!\n";
  binmode $out;
  print $out $out_text or die "redact.pl: $tmp: $!\n";
  close $out or die "redact.pl: $tmp: $!\n";
  rename $tmp, $path or die "redact.pl: $path: $!\n";
}

{
  local $/ = "\0";
  while (my $rel = <STDIN>) {
    chomp $rel;
    $rel =~ s{^\./}{};
    next if $rel eq 'manifest.json';
    clean_file($rel);
  }
}

sub json_string {
  my ($s) = @_;
  my $t = $s;
  if (!utf8::decode($t)) {  # not UTF-8: the bytes taken as Latin-1
    $t = $s;
    utf8::upgrade($t);
  }
  $t =~ s/(["\\])/\\$1/g;
  $t =~ s/([\x00-\x1f\x7f])/sprintf('\\u%04x', ord $1)/ge;
  utf8::encode($t);
  return "\"$t\"";
}

# The commands, in the order they ran.
my @commands;
open my $log, '<', $opt{commands} or die "redact.pl: $opt{commands}: $!\n";
while (my $line = <$log>) {
  chomp $line;
  if ($line =~ /^C\t(.*)\t(-?\d+)\t(-?\d+)\t(true|false)$/) {
    push @commands, {output => $1, status => $2, ms => $3, timedOut => $4, args => []};
  } elsif ($line =~ /^A\t(.*)$/ && @commands) {
    push @{$commands[-1]{args}}, $1;
  } elsif (@commands && @{$commands[-1]{args}}) {
    $commands[-1]{args}[-1] .= "\n$line";
  }
}
close $log;

my $total = 0;
$total += $_ for values %count;
my $state = 0;
my @entries;
for my $c (@commands) {
  my $rel = $c->{output};
  $rel = substr($rel, length($dir) + 1) if index($rel, "$dir/") == 0;
  my ($bytes, $redacted) = (0, 0);
  for my $f (keys %size) {
    next unless $f eq $rel || index($f, "$rel/") == 0;
    $bytes += $size{$f};
    $redacted += $count{$f};
  }
  my @args = map { my $a = $_; redact_line(\$a); obfuscate_line(\$a) if $obfuscate; json_string($a) } @{$c->{args}};
  push @entries, sprintf('    {"arguments": [%s], "output": %s, "exitStatus": %d, "durationMs": %d, "outputSize": %d, "timedOut": %s, "redactions": %d}',
    join(', ', @args), json_string($rel), $c->{status}, $c->{ms}, $bytes, $c->{timedOut}, $redacted);
}
my $host = $opt{host} // '';
obfuscate_line(\$host) if $obfuscate;
my $manifest = "{\n"
  . '  "tool": ' . json_string($opt{tool} // '') . ",\n"
  . '  "version": ' . json_string($opt{version} // '') . ",\n"
  . '  "host": ' . json_string($host) . ",\n"
  . '  "started": ' . json_string($opt{started} // '') . ",\n"
  . '  "ended": ' . json_string(strftime('%Y-%m-%dT%H:%M:%SZ', gmtime)) . ",\n"
  . '  "obfuscated": ' . ($obfuscate ? 'true' : 'false') . ",\n"
  . "  \"redactions\": $total,\n"
  . "  \"commands\": [\n" . join(",\n", @entries) . "\n  ]\n}\n";
sysopen(my $out, "$dir/manifest.json", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644) or die "redact.pl: $dir/manifest.json: $!\n";
print $out $manifest or die "redact.pl: manifest: $!\n";
close $out or die "redact.pl: manifest: $!\n";
