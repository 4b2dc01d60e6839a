#ifndef CRYPT_EXCEPTION_H
#define CRYPT_EXCEPTION_H

#include <exception>
#include <string>

// Failure of a call into the crypto library: the operation's name and the library's error text.
// Thrown only inside the crypto layer and caught by its callers.
class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(const char* text);
    explicit crypt_exception(const std::string& text);

    const char* what() const noexcept override;

private:
    std::string m_Text;
};

#endif // CRYPT_EXCEPTION_H
