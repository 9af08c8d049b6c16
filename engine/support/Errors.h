// The framework's exceptions in words for the log, written once.
#pragma once
#include <string>

class CInternetException;
class CFileException;

// The system's description of the error alone.
std::string MessageOf(const CInternetException& e);
// The description and the error number: "... (internet error 12029)".
std::string DescribeError(const CInternetException& e);
// The system's description, with the file's name when known.
std::string DescribeError(const CFileException& e);
