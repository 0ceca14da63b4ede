/*
 * libTollanCom: the device library of the ZENTA-KDR-V3 control panel.
 *
 * Six C functions with 32-bit arguments, over two transports.
 *
 * Simulated devices are reached over local sockets in one folder
 * ($TOLLANCOM_DIR, else $XDG_RUNTIME_DIR/tollancom, else
 * /tmp/tollancom-<uid>); each device publishes <serial>.sock and
 * <serial>.product, and holds a lock on <serial>.lock while it lives; a
 * device whose lock is free has died, and a listing removes its files. The
 * folder must belong to the user and be writable by no one else; otherwise
 * none of its devices is listed and the reason goes to standard error.
 *
 * USB drivers are reached through Linux hidraw: every node under
 * <sysfs>/class/hidraw/ whose USB device (the first folder up from its
 * `device` link with a `product` file) has a product string containing
 * "CFG", or an idVendor:idProduct named in $TOLLANCOM_HID_IDS
 * ("vvvv:pppp,..."), is listed once per USB device, by its lowest-numbered
 * node; its serial is the `serial` attribute, else the node's name. It is
 * opened as <devroot>/<node> (read-write, close-on-exec, non-blocking) under
 * flock(LOCK_EX|LOCK_NB): a node another process holds is busy. A node this
 * user may not open fails with a message on standard error naming the udev
 * rule; right after a plug-in the open is retried for up to the read
 * time-out while udev sets permissions. A frame goes out as a 65-byte output
 * report (report number 0, then the frame) and its reply is one 64-byte
 * input report; reports of another length answer nothing. <sysfs> is /sys
 * and <devroot> /dev unless $TOLLANCOM_SYSFS or $TOLLANCOM_DEVROOT name
 * other folders, which must then pass the device folder's checks. Where the
 * node under <devroot> is a Unix socket (a stand-in for tests), it is
 * connected to as SOCK_SEQPACKET; the stand-in grants the connection with a
 * message of one byte, 1, and refuses one while it has a holder by closing
 * it at once (busy). Not yet tried against a real driver.
 *
 * The device index is the position in ascending order of serial, across
 * both transports, as listed by the last fnTollanComGetNumDevices call.
 *
 * fnTollanComGetProductString fills the buffer, for the device at `index`,
 * with what `selector` asks:
 *   0  the product string the device publishes (its first line);
 *   1  the device's serial (a simulator's: the name it publishes its files
 *      under); the same serial is the same device, however the listing's
 *      order shifts;
 *   2  who holds the device: "<program> (pid <n>)", e.g. "zentactl (pid
 *      4711)", or an empty string when nobody does. fnTollanComOpen leaves
 *      this note in the device folder as <serial>.holder (written to
 *      <serial>.holder.tmp and renamed, so never read half written), and
 *      fnTollanComClose removes it; a note whose process has ended (or
 *      whose process id now belongs to a later process) reads as empty. A
 *      program that holds a device without this library leaves no note,
 *      nor does a USB driver whose serial is not a plain file name
 *      (letters, digits, ".", "_", "-").
 * Whatever does not fit the buffer is cut off.
 *
 * Status values:
 *   fnTollanComGetNumDevices     1 success (count filled), 0 failure (a
 *                                folder is refused; count holds what the
 *                                other transport listed)
 *   fnTollanComGetProductString  1 success (selector 2: also when nobody
 *                                holds the device and the buffer is empty),
 *                                0 unknown index or unreadable product
 *                                (buffer holds an empty string), -1 bad
 *                                argument (null buffer, a selector other
 *                                than 0, 1 or 2)
 *   fnTollanComOpen              non-zero success (handle filled), 0 failure
 *                                (busy, gone, no grant within the read
 *                                time-out, bad argument)
 *   fnTollanComClose             1 closed, 0 unknown handle
 *   fnTollanComSetTimeouts       1 set, 0 a value below 1 ms (nothing changed)
 *   fnTollanComSendRecv          1 a whole reply was received,
 *                                0 no reply within the read time-out,
 *                                -1 bad argument or unknown handle,
 *                                -2 the connection is lost
 *   Whenever fnTollanComSendRecv returns anything but 1, the first
 *   bytesToRead bytes of the receive buffer are zero. After an exchange
 *   that did not finish, the next one goes over a fresh connection to the
 *   same simulator, so a reply that comes too late never answers a later
 *   command; if the device cannot be reached again it returns -2. A USB
 *   driver has no such fresh connection: before each frame the reports
 *   already queued are thrown away, and the replies owed by exchanges that
 *   ran out of time are awaited for up to the read time-out; only a reply
 *   later than that could answer a later command. An error, a hang-up or a
 *   node that has gone is a lost link (-2).
 *
 * No call waits without bound, even for a device that is stopped or hung
 * with its queue of connections full: reaching the device and its grant
 * take at most the read time-out, an exchange at most that plus the write
 * time-out and the read time-out.
 *
 * None of the functions crashes on null pointers, unknown handles or
 * negative indexes; they return a failure status instead. Calls may come
 * from several threads. Different devices are served side by side; the
 * exchanges on one handle go strictly one at a time, in the order they take
 * its turn. Closing a handle while another thread exchanges on it waits for
 * that exchange to end; calls on the handle after that return -1.
 */
#ifndef TOLLANCOM_H
#define TOLLANCOM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TOLLANCOM_API __attribute__((visibility("default")))

/* Size of the buffer fnTollanComGetProductString fills: at most 256
 * characters and a terminating zero byte. */
#define TOLLANCOM_PRODUCT_BUFFER 257
/* Bytes of one frame in each direction. */
#define TOLLANCOM_FRAME 64

TOLLANCOM_API int32_t fnTollanComGetNumDevices(int32_t *count);
TOLLANCOM_API int32_t fnTollanComGetProductString(int32_t index, char *buffer, int32_t selector);
TOLLANCOM_API int32_t fnTollanComOpen(int32_t index, int32_t *handle);
TOLLANCOM_API int32_t fnTollanComClose(int32_t handle);
TOLLANCOM_API int32_t fnTollanComSetTimeouts(int32_t readTimeoutMs, int32_t writeTimeoutMs);
TOLLANCOM_API int32_t fnTollanComSendRecv(int32_t handle, const unsigned char *send,
                                          int32_t bytesToWrite, int32_t bytesToRead,
                                          unsigned char *receive);

#ifdef __cplusplus
}
#endif

#endif
