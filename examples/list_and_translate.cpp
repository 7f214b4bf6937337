// Lists a registry key and translates a Windows path through one session
// with the installed command server:
//
//   qvtools-example [KEY [WINDOWS_PATH]]
//
// in the prefix WINEPREFIX (else ~/.wine). Both questions go out in one batch.
#include <iostream>
#include <string>

#include <qv/qv.h>

int main(int argc, char** argv) {
    std::string key = argc > 1 ? argv[1] : "HKEY_CURRENT_USER\\Software\\Wine";
    std::string path = argc > 2 ? argv[2] : "C:\\windows\\system32";
    try {
        qv::WindowsPrograms programs = qv::installed_programs();
        for (const std::string& file : programs.missing(qv::WindowsPrograms::Need::server))
            std::cerr << "not installed: " << file << " (set QVTOOLS_ROOT to the installation)\n";
        if (!programs.missing().empty())
            return 2;
        qv::Session session(qv::session_options(programs, qv::default_prefix()));

        std::vector<std::string> answers =
            session.ask_all({qv::list_key_request(key), qv::unix_path_request(path)});
        qv::Result<qv::RegKey> listing = qv::parse_listing(answers[0]);
        qv::Result<std::string> unix_path = qv::parse_unix_path(answers[1]);

        int status = 0;
        if (listing) {
            std::cout << key << ": " << listing->values.size() << " values, " << listing->subkeys.size()
                      << " subkeys\n";
            for (const qv::RegValue& v : listing->values) {
                std::cout << "  value " << (v.name.empty() ? "(default)" : qv::visible(v.name)) << " type "
                          << v.type << " = ";
                if (v.type == qv::reg_dword && v.data.size() == 4)
                    std::cout << v.dword() << "\n";
                else if (v.is_text())
                    std::cout << '"' << qv::visible(v.string()) << "\"\n";
                else
                    std::cout << qv::to_hex(v.data) << "\n";
            }
            for (const std::string& k : listing->subkeys)
                std::cout << "  subkey " << qv::visible(k) << "\n";
        } else {
            std::cout << key << ": " << listing.error() << "\n";
            status = 1;
        }
        if (unix_path)
            std::cout << path << " -> " << *unix_path << "\n";
        else {
            std::cout << path << ": " << unix_path.error() << "\n";
            status = 1;
        }
        session.quit();
        return status;
    } catch (const std::exception& e) {
        std::cerr << "qvtools-example: " << e.what() << "\n";
        return 3;
    }
}
