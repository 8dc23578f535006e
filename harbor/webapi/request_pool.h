// The request program's resident mode: a FastCGI pool of request workers.
//
// The web server starts entry.cgi once with a listening FastCGI socket as its standard input.
// That process supervises a fixed number of workers, forked from it, that take requests from
// the shared socket one at a time. A worker serves each request exactly as the CGI program
// would (its environment, standard input and output are the request's while it runs) and is
// replaced after a number of requests, or at once when a request left the process changed:
// identities not back to root, descriptors left open, another working folder.
#ifndef HARBOR_WEBAPI_REQUEST_POOL_H_
#define HARBOR_WEBAPI_REQUEST_POOL_H_

#include <functional>

namespace VIREO {
namespace webapi {

struct RequestPoolOptions {
  int workers = 8;          // HARBOR_WEBAPI_WORKERS (1 to 64)
  int maxRequests = 1000;   // HARBOR_WEBAPI_MAX_REQUESTS: requests a worker serves (1 to 10^6)
  // HARBOR_WEBAPI_HAND_BODIES=1: the web server, running as root, takes SendBody's files from
  // the workers' descriptors (X-Sendfile of /proc/<pid>/fd/<n>) instead of a copy.
  bool handBodies = false;
};

// The options, from the environment (bad or missing values keep the defaults).
RequestPoolOptions RequestPoolOptionsFromEnvironment();

// Whether standard input is a listening socket (the web server started us as a FastCGI
// application) rather than a CGI request.
bool IsFastCGI();

// Runs the pool until SIGTERM or SIGINT; `serveOne` serves one request from the process's
// environment, stdin and stdout. Returns the exit status.
int RunRequestPool(const RequestPoolOptions& options, const std::function<void()>& serveOne);

}  // namespace webapi
}  // namespace VIREO

#endif  // HARBOR_WEBAPI_REQUEST_POOL_H_
