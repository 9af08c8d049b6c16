#include "support/Errors.h"
#include "afxfile.h"
#include "afxinet.h"

std::string MessageOf(const CInternetException& e)
{
    char text[512] = {};
    e.GetErrorMessage(text, sizeof(text) - 1);
    return text;
}

std::string DescribeError(const CInternetException& e)
{
    return MessageOf(e) + " (internet error " + std::to_string(e.m_dwError) + ")";
}

std::string DescribeError(const CFileException& e)
{
    char text[512] = {};
    e.GetErrorMessage(text, sizeof(text) - 1);
    return text;
}
