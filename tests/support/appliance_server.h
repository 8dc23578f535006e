// The appliance's web server, started for a test's life (inside the appliance sandbox):
//
//   paperlens_test::ApplianceServer server(18080);
//   ASSERT_TRUE(server.Ok()) << server.Error();
//   paperlens_test::WebClient client(server.Port());
//
// Starting runs `harbor/appliance/serve --port N --background`, which returns once the server
// answers; the destructor stops it with `serve --port N --stop`.
#ifndef PAPERLENS_TESTS_SUPPORT_APPLIANCE_SERVER_H_
#define PAPERLENS_TESTS_SUPPORT_APPLIANCE_SERVER_H_

#include <string>

namespace paperlens_test {

class ApplianceServer {
 public:
  explicit ApplianceServer(int port);
  ~ApplianceServer();

  ApplianceServer(const ApplianceServer&) = delete;
  ApplianceServer& operator=(const ApplianceServer&) = delete;

  bool Ok() const { return _ok; }
  const std::string& Error() const { return _error; }
  int Port() const { return _port; }

  // The serve script of this source tree.
  static std::string ServeScript();

 private:
  const int _port;
  bool _ok = false;
  std::string _error;
};

}  // namespace paperlens_test

#endif  // PAPERLENS_TESTS_SUPPORT_APPLIANCE_SERVER_H_
