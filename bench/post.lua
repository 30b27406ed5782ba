-- wrk: every request posts the same form body, as the gateway benchmark does.
wrk.method = "POST"
wrk.body = "subject=Hello&to=alice%40example.org&body=Some+text+of+a+message"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
