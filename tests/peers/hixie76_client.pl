#!/usr/bin/perl
# A Hixie-76 (draft-ietf-hybi-00) handshake with Protocol::WebSocket: the
# header block first, the eight key octets after <delay> seconds. Prints
# "done" when the answer is complete and its checksum is right; with a
# message, sends it in a Hixie-76 text frame and prints what comes back.
#   hixie76_client.pl <url> <port> <delay> [message]
use strict;
use warnings;
use IO::Socket::INET;
use Time::HiRes qw(sleep);
use Protocol::WebSocket::Handshake::Client;

my ($url, $port, $delay, $message) = @ARGV;
my $handshake = Protocol::WebSocket::Handshake::Client->new(url => $url, version => 'draft-ietf-hybi-00');
$handshake->req->origin('http://127.0.0.1');
my $socket = IO::Socket::INET->new(PeerAddr => '127.0.0.1', PeerPort => $port, Timeout => 5)
  or die "connect: $!\n";
$socket->autoflush(1);
my $request = $handshake->to_string;
my $split = index($request, "\r\n\r\n") + 4;
print $socket substr($request, 0, $split);
sleep($delay);
print $socket substr($request, $split);
while (!$handshake->is_done) {
  my $read = sysread($socket, my $buffer, 4096);
  last unless $read;
  $handshake->parse($buffer) or die "error: " . $handshake->error . "\n";
}
print $handshake->is_done ? "done\n" : "incomplete\n";
exit 0 unless defined $message && $handshake->is_done;
print $socket "\x00" . $message . "\xff";
my $received = '';
while ($received !~ /\xff/) {
  my $read = sysread($socket, my $buffer, 4096);
  last unless $read;
  $received .= $buffer;
}
$received =~ s/^\x00//;
$received =~ s/\xff.*//s;
print "echo $received\n";
