#!/bin/sh
# TEST-ONLY key pair for development builds and the test suite. Never use these keys to sign
# anything that is shipped: the private half is public in this repository.
#
# Makes a 1024-bit RSA key pair (PKCS #1 DER, the public half 140 bytes) and a sample file with a
# detached RSA-PSS/SHA-1 signature (salt length 8) made by the openssl command, which the tests
# use to check that our verifier accepts signatures made by other tools.
set -eu
cd "$(dirname "$0")"
openssl genrsa -traditional -out test_only_private.pem 1024
openssl rsa -in test_only_private.pem -traditional -outform DER -out test_only_private.der
openssl rsa -in test_only_private.pem -RSAPublicKey_out -outform DER -out test_only_public.der
printf 'Voxtrel 3 test-only sample signed by openssl\n' > test_only_openssl_sample.txt
openssl dgst -sha1 -sign test_only_private.pem \
  -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:8 -sigopt rsa_mgf1_md:sha1 \
  -out test_only_openssl_sample.txt.sig test_only_openssl_sample.txt
rm -f test_only_private.pem
