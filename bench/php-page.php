<?php
// The FastCGI benchmark's php-fpm contender (bench/run-all): a fixed page
// whose body is as long as the gateway's page's body, VELMOX_PAGE_BYTES
// bytes (the pool's environment, set by run-all), in lines of 64 bytes
// like the trivial programs' page (bench/src/page_fill.h). PHP reads the
// form it is sent, as it does for every script.
header('Content-Type: text/html; charset=utf-8');
header('Cache-Control: no-store');
$head = "<!DOCTYPE html>\n<html><body><p>";
$tail = "</p></body></html>\n";
$filler = max(0, (int) getenv('VELMOX_PAGE_BYTES') - strlen($head) - strlen($tail));
$line = "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijk\n";
echo $head, substr(str_repeat($line, intdiv($filler, 64) + 1), 0, $filler), $tail;
