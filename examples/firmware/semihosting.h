/* Output and exit status through semihosting: QEMU (or a debugger) serves
   them, so the example needs no UART driver. */
#ifndef SEMIHOSTING_H
#define SEMIHOSTING_H

void semihosting_write(const char *text);
void semihosting_exit(int status) __attribute__((noreturn));

#endif
