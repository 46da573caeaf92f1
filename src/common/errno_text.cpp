// The description of an errno in the module's OS error texts. The texts are
// part of the messages callers match, so they come from this fixed table and
// not from the C library, whose wording differs between libraries (musl says
// "Symbolic link loop" for ELOOP): every Linux errno 0..133, worded as the
// GNU C library words them, by number (the kernel's numbers, the same for
// every C library on Linux), and "Unknown error N" for any other number.
#include "common/failure.hpp"

#include <array>
#include <string>
#include <string_view>

namespace tavolin {

namespace {

constexpr std::array<std::string_view, 134> kErrnoTexts = {
    "Success",
    "Operation not permitted",  // EPERM
    "No such file or directory",  // ENOENT
    "No such process",  // ESRCH
    "Interrupted system call",  // EINTR
    "Input/output error",  // EIO
    "No such device or address",  // ENXIO
    "Argument list too long",  // E2BIG
    "Exec format error",  // ENOEXEC
    "Bad file descriptor",  // EBADF
    "No child processes",  // ECHILD
    "Resource temporarily unavailable",  // EAGAIN
    "Cannot allocate memory",  // ENOMEM
    "Permission denied",  // EACCES
    "Bad address",  // EFAULT
    "Block device required",  // ENOTBLK
    "Device or resource busy",  // EBUSY
    "File exists",  // EEXIST
    "Invalid cross-device link",  // EXDEV
    "No such device",  // ENODEV
    "Not a directory",  // ENOTDIR
    "Is a directory",  // EISDIR
    "Invalid argument",  // EINVAL
    "Too many open files in system",  // ENFILE
    "Too many open files",  // EMFILE
    "Inappropriate ioctl for device",  // ENOTTY
    "Text file busy",  // ETXTBSY
    "File too large",  // EFBIG
    "No space left on device",  // ENOSPC
    "Illegal seek",  // ESPIPE
    "Read-only file system",  // EROFS
    "Too many links",  // EMLINK
    "Broken pipe",  // EPIPE
    "Numerical argument out of domain",  // EDOM
    "Numerical result out of range",  // ERANGE
    "Resource deadlock avoided",  // EDEADLOCK
    "File name too long",  // ENAMETOOLONG
    "No locks available",  // ENOLCK
    "Function not implemented",  // ENOSYS
    "Directory not empty",  // ENOTEMPTY
    "Too many levels of symbolic links",  // ELOOP
    {},  // 41: no name on Linux
    "No message of desired type",  // ENOMSG
    "Identifier removed",  // EIDRM
    "Channel number out of range",  // ECHRNG
    "Level 2 not synchronized",  // EL2NSYNC
    "Level 3 halted",  // EL3HLT
    "Level 3 reset",  // EL3RST
    "Link number out of range",  // ELNRNG
    "Protocol driver not attached",  // EUNATCH
    "No CSI structure available",  // ENOCSI
    "Level 2 halted",  // EL2HLT
    "Invalid exchange",  // EBADE
    "Invalid request descriptor",  // EBADR
    "Exchange full",  // EXFULL
    "No anode",  // ENOANO
    "Invalid request code",  // EBADRQC
    "Invalid slot",  // EBADSLT
    {},  // 58: no name on Linux
    "Bad font file format",  // EBFONT
    "Device not a stream",  // ENOSTR
    "No data available",  // ENODATA
    "Timer expired",  // ETIME
    "Out of streams resources",  // ENOSR
    "Machine is not on the network",  // ENONET
    "Package not installed",  // ENOPKG
    "Object is remote",  // EREMOTE
    "Link has been severed",  // ENOLINK
    "Advertise error",  // EADV
    "Srmount error",  // ESRMNT
    "Communication error on send",  // ECOMM
    "Protocol error",  // EPROTO
    "Multihop attempted",  // EMULTIHOP
    "RFS specific error",  // EDOTDOT
    "Bad message",  // EBADMSG
    "Value too large for defined data type",  // EOVERFLOW
    "Name not unique on network",  // ENOTUNIQ
    "File descriptor in bad state",  // EBADFD
    "Remote address changed",  // EREMCHG
    "Can not access a needed shared library",  // ELIBACC
    "Accessing a corrupted shared library",  // ELIBBAD
    ".lib section in a.out corrupted",  // ELIBSCN
    "Attempting to link in too many shared libraries",  // ELIBMAX
    "Cannot exec a shared library directly",  // ELIBEXEC
    "Invalid or incomplete multibyte or wide character",  // EILSEQ
    "Interrupted system call should be restarted",  // ERESTART
    "Streams pipe error",  // ESTRPIPE
    "Too many users",  // EUSERS
    "Socket operation on non-socket",  // ENOTSOCK
    "Destination address required",  // EDESTADDRREQ
    "Message too long",  // EMSGSIZE
    "Protocol wrong type for socket",  // EPROTOTYPE
    "Protocol not available",  // ENOPROTOOPT
    "Protocol not supported",  // EPROTONOSUPPORT
    "Socket type not supported",  // ESOCKTNOSUPPORT
    "Operation not supported",  // ENOTSUP
    "Protocol family not supported",  // EPFNOSUPPORT
    "Address family not supported by protocol",  // EAFNOSUPPORT
    "Address already in use",  // EADDRINUSE
    "Cannot assign requested address",  // EADDRNOTAVAIL
    "Network is down",  // ENETDOWN
    "Network is unreachable",  // ENETUNREACH
    "Network dropped connection on reset",  // ENETRESET
    "Software caused connection abort",  // ECONNABORTED
    "Connection reset by peer",  // ECONNRESET
    "No buffer space available",  // ENOBUFS
    "Transport endpoint is already connected",  // EISCONN
    "Transport endpoint is not connected",  // ENOTCONN
    "Cannot send after transport endpoint shutdown",  // ESHUTDOWN
    "Too many references: cannot splice",  // ETOOMANYREFS
    "Connection timed out",  // ETIMEDOUT
    "Connection refused",  // ECONNREFUSED
    "Host is down",  // EHOSTDOWN
    "No route to host",  // EHOSTUNREACH
    "Operation already in progress",  // EALREADY
    "Operation now in progress",  // EINPROGRESS
    "Stale file handle",  // ESTALE
    "Structure needs cleaning",  // EUCLEAN
    "Not a XENIX named type file",  // ENOTNAM
    "No XENIX semaphores available",  // ENAVAIL
    "Is a named type file",  // EISNAM
    "Remote I/O error",  // EREMOTEIO
    "Disk quota exceeded",  // EDQUOT
    "No medium found",  // ENOMEDIUM
    "Wrong medium type",  // EMEDIUMTYPE
    "Operation canceled",  // ECANCELED
    "Required key not available",  // ENOKEY
    "Key has expired",  // EKEYEXPIRED
    "Key has been revoked",  // EKEYREVOKED
    "Key was rejected by service",  // EKEYREJECTED
    "Owner died",  // EOWNERDEAD
    "State not recoverable",  // ENOTRECOVERABLE
    "Operation not possible due to RF-kill",  // ERFKILL
    "Memory page has hardware error",
};

}  // namespace

std::string describe_errno(int err) {
  if (err >= 0 && static_cast<std::size_t>(err) < kErrnoTexts.size() && !kErrnoTexts[err].empty()) {
    return std::string(kErrnoTexts[err]);
  }
  return std::string(messages::kOsErrorUnknown).append(" ").append(std::to_string(err));
}

}  // namespace tavolin
