/* The smallest program the cross linker makes: the file check's reference for the checksum. */
int main(void) { return 7; }
