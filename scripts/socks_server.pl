#!/usr/bin/perl
# SOCKS 4, 4A and 5 server on 127.0.0.1 for tests: socks_server.pl PORT [USER PASS]
# PORT 0 lets the kernel pick; prints "READY <port>". Only loopback destinations are served.
use strict; use warnings;
use IO::Socket::Socks qw(:constants $SOCKS_ERROR);
use IO::Select; use Socket qw(inet_aton inet_ntoa);
my ($port, $user, $pass) = @ARGV;
$SIG{CHLD} = 'IGNORE';
my %auth = !defined $user ? () : (RequireAuth => 1, UserAuth => sub {
    return 1 if @_ == 1;                       # SOCKS 4: user id only, accepted
    return ($_[0] eq $user && $_[1] eq $pass) ? 1 : 0 });
my $srv = IO::Socket::Socks->new(SocksVersion => [4, 5], SocksResolve => 1, ProxyAddr => '127.0.0.1',
    ProxyPort => $port, Listen => 16, ReuseAddr => 1, %auth) or die "$SOCKS_ERROR\n";
$| = 1; print "READY ", $srv->sockport, "\n";
while (1) {
    my $c = $srv->accept() or next;            # greeting, authentication and request are read here
    my ($cmd, $host, $dport) = @{$c->command()};
    my $v4 = $c->version == 4;
    my $ip = inet_aton($host);
    my $s = ($cmd == CMD_CONNECT && $ip && inet_ntoa($ip) =~ /^127\./)
        ? IO::Socket::INET->new(PeerAddr => inet_ntoa($ip), PeerPort => $dport, Timeout => 5) : undef;
    unless ($s) {
        $c->command_reply($v4 ? REQUEST_FAILED : REPLY_CONN_REFUSED, '0.0.0.0', 0); $c->close; next;
    }
    $c->command_reply($v4 ? REQUEST_GRANTED : REPLY_SUCCESS, $s->sockhost, $s->sockport);
    if (fork()) { $c->close; $s->close; next; }
    my $sel = IO::Select->new($c, $s);
    RELAY: while (my @r = $sel->can_read) {
        for my $h (@r) {
            my $n = sysread($h, my $buf, 65536);
            last RELAY unless $n;
            syswrite($h == $c ? $s : $c, $buf);
        }
    }
    exit 0;
}
