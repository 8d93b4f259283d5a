"""Packs and reads back values with the integer and BCD codecs."""
import bitloom

print(bitloom.encode_twos_complement(-2, 16))
