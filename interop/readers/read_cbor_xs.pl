# Reads one CBOR item per input line (hex) with CBOR::XS and prints each as
# the shared rendering, or "!" and the reason it was refused. A Perl hash has
# no order and only string keys, so its entries are printed sorted by their
# rendered key, each key as text. An array key becomes the text of a
# reference that is freed at once, ARRAY(0x...), whose address a later array
# key may reuse: such keys print as one, ARRAY(), with the value *.
use strict;
use warnings;
use B;
use CBOR::XS;
use Encode qw(encode_utf8);
use Types::Serialiser;

sub render {
    my ($value) = @_;
    return 'N' unless defined $value;
    my $kind = ref $value;
    return $value ? 'T' : 'F' if Types::Serialiser::is_bool($value);
    return '[' . join(',', map { render($_) } @$value) . ']' if $kind eq 'ARRAY';
    if ($kind eq 'HASH') {
        my @entries = map { 's' . unpack('H*', encode_utf8($_)) . ':' . render($value->{$_}) }
            grep { !/^ARRAY\(0x[0-9a-f]+\)$/ } keys %$value;
        push @entries, 's' . unpack('H*', 'ARRAY()') . ':*' if grep { /^ARRAY\(0x[0-9a-f]+\)$/ } keys %$value;
        return '{' . join(',', sort @entries) . '}';
    }
    return "?$kind" if $kind;
    my $flags = B::svref_2object(\$value)->FLAGS;
    if ($flags & B::SVf_NOK) {
        return 'fnan' if $value != $value;
        return 'f' . unpack('H*', pack('d>', $value));
    }
    return "$value" if $flags & B::SVf_IOK;
    return 's' . unpack('H*', encode_utf8($value)) if utf8::is_utf8($value);
    return 'h' . unpack('H*', $value);
}

$| = 0;
while (my $line = <STDIN>) {
    chomp $line;
    my $value = eval { decode_cbor(pack('H*', $line)) };
    if ($@) {
        (my $error = $@) =~ s/\n/ /g;
        print "!$error\n";
    } else {
        print render($value), "\n";
    }
}
